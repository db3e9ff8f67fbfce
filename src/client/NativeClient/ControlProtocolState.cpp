#include "ControlProtocolState.h"

#include "LockedText.h"

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

LockedText& listText() {
    static LockedText text;
    return text;
}

} // namespace

std::string allowedUsbDevices() { return listText().get(); }

void setAllowedUsbDevices(const std::string& list) { listText().set(list); }

} // namespace qor
