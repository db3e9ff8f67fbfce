#include "ServerConnectionValues.h"

#include <Poco/Mutex.h>

namespace qor {

std::atomic<bool> serverIsSecure{true};
std::atomic<std::int32_t> serverPort{0};
std::atomic<bool> autoSignInAllowed{true};
std::atomic<std::int32_t> screenCount{1};
std::atomic<std::int32_t> networkProtocolMajor{4};
std::atomic<bool> usbForwardingEnabled{false};
std::atomic<std::int32_t> clientErrorCode{0};

namespace {

Poco::FastMutex& textLock() {
    static Poco::FastMutex lock;
    return lock;
}

std::string& cookieText() {
    static std::string text;
    return text;
}

std::string& prefixText() {
    static std::string text;
    return text;
}

} // namespace

std::string sessionCookieValue() {
    Poco::FastMutex::ScopedLock guard(textLock());
    return cookieText();
}

void setSessionCookieValue(const std::string& value) {
    Poco::FastMutex::ScopedLock guard(textLock());
    cookieText() = value;
}

std::string currentServerPathPrefix() {
    Poco::FastMutex::ScopedLock guard(textLock());
    return prefixText();
}

void setServerPathPrefix(const std::string& prefix) {
    Poco::FastMutex::ScopedLock guard(textLock());
    prefixText() = prefix;
}

} // namespace qor
