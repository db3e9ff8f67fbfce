#include "PeerPolicy.h"

namespace {

// More users than this within a second: the oldest entries go.
constexpr std::size_t maxKnown = 1024;

} // namespace

PeerPolicy::PeerPolicy(std::string allowedGroup) : allowedGroup_(std::move(allowedGroup)) {}

bool PeerPolicy::allows(unsigned int userId) const { return userId == 0 || known(userId).allowed; }

std::string PeerPolicy::refusalMessage(unsigned int userId) const { return known(userId).refusal; }

PeerPolicy::Known PeerPolicy::known(unsigned int userId) const {
    const Clock::time_point now = Clock::now();
    {
        std::lock_guard<std::mutex> guard(lock_);
        const auto found = known_.find(userId);
        if (found != known_.end() && now - found->second.readAt < keptFor) return found->second;
    }
    Known entry;
    entry.readAt = now;
    entry.allowed = readAllows(userId);
    if (!entry.allowed) entry.refusal = readRefusalMessage(userId);
    std::lock_guard<std::mutex> guard(lock_);
    if (known_.size() >= maxKnown) {
        for (auto it = known_.begin(); it != known_.end();)
            it = now - it->second.readAt >= keptFor ? known_.erase(it) : std::next(it);
        if (known_.size() >= maxKnown) known_.clear();
    }
    known_[userId] = entry;
    return entry;
}
