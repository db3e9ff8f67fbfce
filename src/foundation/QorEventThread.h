// A QorThread with a bounded event queue. Any thread posts; the body takes
// one event at a time with waitForEvent and dispatches it by its type:
//
//     while (isRunning()) {
//         checkpoint(__LINE__, fileId);
//         Poco::AutoPtr<BaseEvent> event = waitForEvent();
//         if (!event) { /* wake-up without an event: stop or destruction */ continue; }
//         switch (event->type()) { ... }
//     }
//
// The owner ends the thread with stopEventLoop before deleting it.
#pragma once

#include "BaseEvent.h"
#include "EventQueue.h"
#include "QorThread.h"

#include <Poco/AutoPtr.h>

namespace qor {

class QorEventThread : public QorThread {
public:
    explicit QorEventThread(bool waitForStart);
    // Stops a body that still runs, then drops the queued events undispatched.
    ~QorEventThread() override;

    // Hands the event's reference to the queue. A refused event (full queue)
    // is released here, so the poster never touches it after posting.
    // Callable from any thread, the queue's own included; never blocks.
    bool postEvent(BaseEvent* event);

    // Sets the stop state, wakes the body once and joins it without limit.
    // Called by the owner, never on the queue's own thread.
    void stopEventLoop();

    std::int32_t queuedEvents() const { return queue_.size(); }

protected:
    // One pass of the consumer: waits for a count, takes the front event and
    // marks it (backlogged, remainingInQueue). Null for a wake-up without
    // an event. The pointer holds the queue's reference.
    Poco::AutoPtr<BaseEvent> waitForEvent();

private:
    EventQueue queue_;
};

} // namespace qor
