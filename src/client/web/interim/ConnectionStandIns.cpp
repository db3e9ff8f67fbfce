#include "ConnectionStandIns.h"

#include "Logging.h"

#include <mutex>

namespace qor {

namespace {
std::mutex valuesLock;
std::string cookieValue;
} // namespace

std::atomic<bool> serverIsSecure{true};
std::atomic<std::int32_t> serverPort{0};
std::atomic<bool> autoSignInAllowed{true};

NativeClient* NativeClient::instance() {
    static NativeClient client;
    return &client;
}

void NativeClient::setCsrfToken(const std::string& token) {
    std::lock_guard<std::mutex> guard(valuesLock);
    csrfToken_ = token;
}

std::string NativeClient::csrfToken() const {
    std::lock_guard<std::mutex> guard(valuesLock);
    return csrfToken_;
}

std::string NativeClient::currentServerUrl() const {
    std::lock_guard<std::mutex> guard(valuesLock);
    return currentServerUrl_;
}

void setCurrentServerUrl(const std::string& url) {
    std::lock_guard<std::mutex> guard(valuesLock);
    NativeClient::instance()->currentServerUrl_ = url;
}

bool sendKeyEvent(const std::string&, const std::string&, bool, bool, bool, bool, bool) {
    logDebug("Not sending key, client not connected");
    return false;
}

void stopNativeClient() {}

std::string sessionCookieValue() {
    std::lock_guard<std::mutex> guard(valuesLock);
    return cookieValue;
}

void setSessionCookieValue(const std::string& value) {
    std::lock_guard<std::mutex> guard(valuesLock);
    cookieValue = value;
}

} // namespace qor
