#include "RequestHeadDeadline.h"

#include "Logging.h"

#include <Poco/Exception.h>

#include <vector>

namespace qor {

RequestHeadDeadline::RequestHeadDeadline(Poco::Timespan limit)
    : limit_(std::chrono::microseconds(limit.totalMicroseconds())),
      limitMs_(static_cast<long>(limit.totalMilliseconds())),
      thread_("JsBridgeHeads") {
    thread_.start(*this);
}

RequestHeadDeadline::~RequestHeadDeadline() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

std::string RequestHeadDeadline::watch(const Poco::Net::StreamSocket& socket) {
    std::string key;
    try {
        key = keyOf(socket.peerAddress());
    } catch (Poco::Exception&) {
        return std::string();  // the peer has gone: the first read ends at once
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        watched_[key] = Watched{socket, Clock::now() + limit_};
    }
    changed_.notify_all();
    return key;
}

void RequestHeadDeadline::release(const std::string& key) {
    if (key.empty()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    // The thread need not wake: a missed deadline of a released connection
    // is simply not found when it comes.
    watched_.erase(key);
}

void RequestHeadDeadline::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (watched_.empty()) {
            changed_.wait(lock);
            continue;
        }
        Clock::time_point next = Clock::time_point::max();
        for (const auto& entry : watched_)
            if (entry.second.deadline < next) next = entry.second.deadline;
        if (changed_.wait_until(lock, next) == std::cv_status::no_timeout) continue;

        const Clock::time_point now = Clock::now();
        std::vector<std::pair<std::string, Poco::Net::StreamSocket>> expired;
        for (auto it = watched_.begin(); it != watched_.end();) {
            if (it->second.deadline <= now) {
                expired.emplace_back(it->first, it->second.socket);
                it = watched_.erase(it);
            } else {
                ++it;
            }
        }
        // Under the lock: a connection released meanwhile has left the
        // map and is never shut down once its head has arrived.
        for (auto& cut : expired) {
            logWarning("JsBridge: No complete request from " + cut.first + " within " + std::to_string(limitMs_) +
                       " ms, closing the connection");
            try {
                cut.second.shutdownReceive();
            } catch (Poco::Exception&) {
                // already closed by its side
            }
        }
    }
}

} // namespace qor
