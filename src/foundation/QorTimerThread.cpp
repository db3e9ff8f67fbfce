#include "QorTimerThread.h"

#include "Utilities.h"

#include <algorithm>

namespace qor {

namespace {

// Remainders this short are not slept.
constexpr std::int64_t NEGLIGIBLE_MS = 2;

} // namespace

QorTimerThread::QorTimerThread() : QorThread(false) {}

QorTimerThread::~QorTimerThread() = default;

void QorTimerThread::startTimer() {
    lastTick_.store(monotonicMillis());
    launch(0);
}

void QorTimerThread::stopTimer() {
    stopAndJoin(periodMs() + 10, false);
    stop(true, false);
}

bool QorTimerThread::waitNextTick() {
    const std::int64_t now = monotonicMillis();
    const std::int64_t elapsed = now - lastTick_.load();
    if (elapsed >= periodMs()) {
        lastTick_.store(now);
        return true;
    }
    std::int64_t remaining = periodMs() - elapsed;
    while (remaining > stepMs()) {
        const std::int32_t step = std::max<std::int32_t>(1, stepMs());
        Poco::Thread::sleep(step);
        if (stopPending()) return false;
        remaining -= step;
    }
    if (remaining > NEGLIGIBLE_MS) Poco::Thread::sleep(static_cast<long>(remaining));
    lastTick_.store(monotonicMillis());
    return true;
}

} // namespace qor
