#include "VHDeviceListError.h"

VHDeviceListError vhDeviceListError;

bool VHDeviceListError::failed(const std::string& reply) {
    ScopedOwnerLock guard(lock_);
    if (reply == standing_) return false;
    standing_ = reply;
    return true;
}

bool VHDeviceListError::ended() {
    ScopedOwnerLock guard(lock_);
    if (standing_.empty()) return false;
    standing_.clear();
    return true;
}

bool VHDeviceListError::untold(const std::string& message) const {
    ScopedOwnerLock guard(lock_);
    return message != told_;
}

void VHDeviceListError::told(const std::string& message) {
    ScopedOwnerLock guard(lock_);
    told_ = message;
}

void VHDeviceListError::forgetTold() {
    ScopedOwnerLock guard(lock_);
    told_.clear();
}
