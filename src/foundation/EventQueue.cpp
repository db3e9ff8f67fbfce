#include "EventQueue.h"

#include "BaseEvent.h"

#include <Poco/Exception.h>

namespace qor {

EventQueue::EventQueue() : available_(0, 2 * EVENT_LIMIT) {}

EventQueue::~EventQueue() {
    std::list<BaseEvent*> left;
    {
        ScopedOwnerLock guard(lock_);
        left.swap(events_);
        count_.store(0);
    }
    // The queue's reference dies here; an event nobody else holds is
    // destroyed through its virtual destructor, payload included.
    for (BaseEvent* event : left) event->release();
    wake();
}

bool EventQueue::push(BaseEvent* event) {
    if (!event) return false;
    {
        ScopedOwnerLock guard(lock_);
        if (static_cast<std::int32_t>(events_.size()) >= limit_) return false;
        events_.push_back(event);
        count_.store(static_cast<std::int32_t>(events_.size()));
    }
    available_.set();
    return true;
}

void EventQueue::wait() { available_.wait(); }

BaseEvent* EventQueue::takeFront(std::int64_t& remaining) {
    lock_.lock();
    BaseEvent* event = nullptr;
    if (!events_.empty()) {
        event = events_.front();
        events_.pop_front();
    }
    remaining = static_cast<std::int64_t>(events_.size());
    count_.store(static_cast<std::int32_t>(events_.size()));
    lock_.unlock();
    return event;
}

void EventQueue::wake() {
    try {
        available_.set();
    } catch (const Poco::SystemException&) {
        // The count is at its maximum: the consumer wakes up anyway.
    }
}

} // namespace qor
