// A QorThread that ticks with a fixed period. The body calls waitNextTick
// once per pass and ends when it returns false; the wait is cut into steps
// so that a stop request is seen within one step.
#pragma once

#include "QorThread.h"

#include <atomic>
#include <cstdint>

namespace qor {

class QorTimerThread : public QorThread {
public:
    static constexpr std::int32_t DEFAULT_PERIOD_MS = 100000;
    static constexpr std::int32_t DEFAULT_STEP_MS = 100;

    QorTimerThread();
    ~QorTimerThread() override;

    // Counts the first period from now and starts the thread.
    virtual void startTimer();
    // A join bounded by one period, then one without limit.
    virtual void stopTimer();

    // Sleeps until the next tick; false as soon as a stop is seen.
    bool waitNextTick();

    std::int32_t periodMs() const { return periodMs_.load(); }
    std::int32_t stepMs() const { return stepMs_.load(); }
    std::int64_t lastTick() const { return lastTick_.load(); }
    void setPeriodMs(std::int32_t ms) { periodMs_.store(ms); }
    void setStepMs(std::int32_t ms) { stepMs_.store(ms); }

private:
    std::atomic<std::int32_t> periodMs_{DEFAULT_PERIOD_MS};
    std::atomic<std::int32_t> stepMs_{DEFAULT_STEP_MS};
    std::atomic<std::int64_t> lastTick_{0};
};

} // namespace qor
