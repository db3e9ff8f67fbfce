#include "ControlProtocolState.h"

#include <Poco/Mutex.h>

namespace qor {

std::atomic<std::int32_t> networkProtocolMinor{0};
std::atomic<std::int32_t> serverVersionMajor{0};
std::atomic<std::int32_t> serverVersionMinor{0};
std::atomic<bool> serverVideoPaused{false};
std::atomic<bool> kbmControl{false};
std::atomic<bool> serverInputControl{false};
std::atomic<bool> serverLocalCursor{false};
std::atomic<bool> showAllUsbDevices{false};
std::atomic<std::int32_t> serverFeatures{0};

namespace {

Poco::FastMutex& listLock() {
    static Poco::FastMutex lock;
    return lock;
}

std::string& listText() {
    static std::string text;
    return text;
}

} // namespace

std::string allowedUsbDevices() {
    Poco::FastMutex::ScopedLock guard(listLock());
    return listText();
}

void setAllowedUsbDevices(const std::string& list) {
    Poco::FastMutex::ScopedLock guard(listLock());
    listText() = list;
}

} // namespace qor
