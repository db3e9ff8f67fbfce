// Ends a page fetch at its deadline, whatever network step it waits in:
// a thread of its own waits for the deadline and then shuts the connection
// down, so that the blocked read returns. The fetch asks expired() to tell
// that from a peer that closed.
#pragma once

#include <Poco/Net/StreamSocket.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

class FetchWatchdog {
public:
    using Clock = std::chrono::steady_clock;

    // Watches the connected socket until the deadline or destruction.
    FetchWatchdog(const Poco::Net::StreamSocket& socket, Clock::time_point deadline);
    ~FetchWatchdog();
    FetchWatchdog(const FetchWatchdog&) = delete;
    FetchWatchdog& operator=(const FetchWatchdog&) = delete;

    bool expired() const;

private:
    void watch(Clock::time_point deadline);

    // Platform part.
    static int duplicateHandle(const Poco::Net::StreamSocket& socket);
    static void shutDownHandle(int handle);
    static void closeHandle(int handle);

    // A handle of the watchdog's own to the connection, valid until the
    // destructor: the fetch may close its socket at any time.
    int handle_ = -1;
    mutable std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
    bool expired_ = false;
    std::thread thread_;
};
