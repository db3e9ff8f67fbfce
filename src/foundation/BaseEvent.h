// Base of every event that the client's threads post to each other's queues.
// Reference-counted: created with count 1, which posting hands to the queue.
#pragma once

#include <Poco/RefCountedObject.h>

#include <cstdint>
#include <string>

namespace qor {

class BaseEvent : public Poco::RefCountedObject {
public:
    BaseEvent() = default;

    virtual std::string name() const { return std::string(); }
    virtual int type() const { return 0; }

    // Set by the consumer when it takes the event off its queue.
    bool backlogged = false;
    std::int64_t remainingInQueue = 0;

protected:
    // Deleted through release() or by a queue that refuses or drops it.
    ~BaseEvent() override = default;
    friend class EventQueue;
    friend class QorEventThread;
};

} // namespace qor
