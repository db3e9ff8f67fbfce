#include "FetchWatchdog.h"

FetchWatchdog::FetchWatchdog(const Poco::Net::StreamSocket& socket, Clock::time_point deadline)
    : handle_(duplicateHandle(socket)), thread_([this, deadline] { watch(deadline); }) {}

FetchWatchdog::~FetchWatchdog() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }
    finished_.notify_one();
    thread_.join();
    closeHandle(handle_);
}

bool FetchWatchdog::expired() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return expired_;
}

void FetchWatchdog::watch(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (finished_.wait_until(lock, deadline, [this] { return done_; })) return;
    expired_ = true;
    shutDownHandle(handle_);
}
