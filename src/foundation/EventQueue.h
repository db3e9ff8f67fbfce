// The bounded queue of one event thread: a first-in first-out list of event
// pointers under an OwnerLock and a counting semaphore with one count per
// queued event plus one per extra wake-up. Many threads push; exactly one
// thread (the owner's body) waits and takes.
#pragma once

#include "OwnerLock.h"

#include <Poco/Semaphore.h>

#include <atomic>
#include <cstdint>
#include <list>

namespace qor {

class BaseEvent;

class EventQueue {
public:
    // The most events one queue holds.
    static constexpr std::int32_t EVENT_LIMIT = 728;

    EventQueue();
    // Drops every queued event undispatched.
    ~EventQueue();
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    // Appends the event and wakes the consumer once; false (event untouched)
    // when the queue is full or the event is null.
    bool push(BaseEvent* event);

    // Number of queued events, read without the lock.
    std::int32_t size() const { return count_.load(); }
    std::int32_t limit() const { return limit_; }

    // Consumer side: waits for one count of the semaphore.
    void wait();
    // Takes the front event, or null when there is none (a wake-up without
    // an event); remaining receives the number of events left.
    BaseEvent* takeFront(std::int64_t& remaining);
    // One extra count that no event matches, so that a waiting consumer
    // wakes up and looks at its state.
    void wake();

private:
    OwnerLock lock_;
    Poco::Semaphore available_;
    const std::int32_t limit_ = EVENT_LIMIT;
    std::list<BaseEvent*> events_;
    std::atomic<std::int32_t> count_{0};
};

} // namespace qor
