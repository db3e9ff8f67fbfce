#include "VHProxyReachability.h"

#include "VHLog.h"

VHProxyReachability vhProxyReachability;

namespace {

bool sameSnapshot(const VHProxyReachability::Snapshot& a, const VHProxyReachability::Snapshot& b) {
    return a.state == b.state && a.detail == b.detail && a.group == b.group;
}

bool isFailure(VHProxyState state) { return state != VHProxyState::Unknown && state != VHProxyState::Answering; }

} // namespace

bool VHProxyReachability::change(const Snapshot& next, bool (*keeps)(VHProxyState)) {
    VHProxyState before;
    {
        ScopedOwnerLock guard(lock_);
        if (sameSnapshot(current_, next) || (keeps != nullptr && keeps(current_.state))) return false;
        before = current_.state;
        current_ = next;
    }
    if (next.state == VHProxyState::Answering && isFailure(before))
        vhInformation("vhProxySupport: vhproxy answers again");
    else if (next.state == VHProxyState::Refused)
        vhError("vhProxySupport: vhproxy refuses this user: " + next.detail);
    return true;
}

bool VHProxyReachability::answered() {
    return change(Snapshot{VHProxyState::Answering, "", ""},
                  [](VHProxyState now) { return now == VHProxyState::Incompatible; });
}

bool VHProxyReachability::notAnswering() {
    return change(Snapshot{VHProxyState::NotAnswering, "", ""}, [](VHProxyState now) {
        return now == VHProxyState::NotInstalled || now == VHProxyState::GivenUp;
    });
}

bool VHProxyReachability::refused(const std::string& message, const std::string& group) {
    return change(Snapshot{VHProxyState::Refused, message, group}, nullptr);
}

bool VHProxyReachability::portHeld(std::uint32_t userId) {
    return change(Snapshot{VHProxyState::PortHeld, std::to_string(userId), ""}, nullptr);
}

bool VHProxyReachability::set(VHProxyState state, const std::string& detail) {
    if (state == VHProxyState::NotInstalled)
        return change(Snapshot{state, detail, ""}, [](VHProxyState now) { return now == VHProxyState::PortHeld; });
    return change(Snapshot{state, detail, ""}, nullptr);
}

VHProxyReachability::Snapshot VHProxyReachability::snapshot() const {
    ScopedOwnerLock guard(lock_);
    return current_;
}

bool VHProxyReachability::takeUntold(Snapshot& snapshot) {
    ScopedOwnerLock guard(lock_);
    if (sameSnapshot(told_, current_)) return false;
    told_ = current_;
    if (!isFailure(current_.state)) return false;
    snapshot = current_;
    return true;
}

void VHProxyReachability::forgetTold() {
    ScopedOwnerLock guard(lock_);
    told_ = Snapshot();
}
