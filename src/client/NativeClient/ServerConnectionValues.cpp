#include "ServerConnectionValues.h"

#include "JsBridge.h"
#include "LockedText.h"

namespace qor {

std::atomic<bool> serverIsSecure{true};
std::atomic<std::int32_t> serverPort{0};
std::atomic<bool> autoSignInAllowed{true};
std::atomic<std::int32_t> screenCount{1};
std::atomic<std::int32_t> networkProtocolMajor{4};
std::atomic<std::int32_t> clientErrorCode{0};

namespace {

LockedText& cookieText() {
    static LockedText text;
    return text;
}

} // namespace

std::string sessionCookieValue() { return cookieText().get(); }

void setSessionCookieValue(const std::string& value) { cookieText().set(value); }

std::string currentServerPathPrefix() { return serverPathPrefix(); }

} // namespace qor
