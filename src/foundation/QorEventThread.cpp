#include "QorEventThread.h"

#include "Logging.h"

namespace qor {

QorEventThread::QorEventThread(bool waitForStart) : QorThread(waitForStart) {}

QorEventThread::~QorEventThread() {
    // Owners stop the loop first; this only keeps a forgotten body from
    // waiting on a queue that is about to go.
    if (started()) stopEventLoop();
}

bool QorEventThread::postEvent(BaseEvent* event) {
    if (!event) return false;
    if (queue_.push(event)) return true;
    event->release();
    return false;
}

void QorEventThread::stopEventLoop() {
    if (started()) {
        requestStop();
        if (isTraceEnabled()) logTrace(name() + ": Triggering loop");
        queue_.wake();
        stop(true, false);
    } else if ((state() & ThreadState::JOINED) == 0 && isTraceEnabled()) {
        logTrace(name() + ": Thread never started");
    }
}

Poco::AutoPtr<BaseEvent> QorEventThread::waitForEvent() {
    const std::int32_t queuedBeforeWait = queue_.size();
    queue_.wait();
    std::int64_t remaining = 0;
    BaseEvent* event = queue_.takeFront(remaining);
    if (!event) return Poco::AutoPtr<BaseEvent>();
    event->backlogged = queuedBeforeWait != 0;
    event->remainingInQueue = remaining;
    return Poco::AutoPtr<BaseEvent>(event); // takes over the queue's reference
}

} // namespace qor
