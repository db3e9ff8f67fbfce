#include "QorTimerThread.h"

#include "Utilities.h"

#include "LogCapture.h"
#include "ThreadTestHelpers.h"

#include <gtest/gtest.h>

#include <atomic>

using qor::QorTimerThread;
using testing_threads::waitUntil;

namespace {

// Counts its ticks until waitNextTick says stop.
class CountingTimer : public QorTimerThread {
public:
    explicit CountingTimer(std::int32_t periodMs, std::int32_t stepMs = DEFAULT_STEP_MS) {
        setName("USB support");
        setPeriodMs(periodMs);
        setStepMs(stepMs);
    }
    ~CountingTimer() override { stopTimer(); }

    void eventLoop() override {
        while (waitNextTick()) ++ticks;
        lastTickAtEnd = lastTick();
    }

    std::atomic<int> ticks{0};
    std::atomic<std::int64_t> lastTickAtEnd{-1};
};

} // namespace

TEST(QorTimerThread, DefaultsAreOnePeriodOf100sInStepsOf100ms) {
    CountingTimer timer(QorTimerThread::DEFAULT_PERIOD_MS);
    EXPECT_EQ(timer.periodMs(), 100000);
    EXPECT_EQ(timer.stepMs(), 100);
    EXPECT_EQ(timer.lastTick(), 0);
}

// Called from the test thread: the timer is never started, so its state
// asks for no stop.
TEST(QorTimerThread, OverduePeriodTicksAtOnce) {
    CountingTimer timer(100000);
    const std::int64_t before = monotonicMillis();
    EXPECT_TRUE(timer.waitNextTick()); // last tick 0: long overdue
    const std::int64_t after = monotonicMillis();
    EXPECT_GE(timer.lastTick(), before);
    EXPECT_LE(timer.lastTick(), after);
    EXPECT_LT(after - before, 50000) << "an overdue tick must not sleep a period";
}

TEST(QorTimerThread, TickComesNoEarlierThanOnePeriodAfterTheLast) {
    struct Case {
        std::int32_t periodMs;
        std::int32_t stepMs;
    };
    const std::vector<Case> cases = {{300, 100}, {250, 100}, {120, 200}, {30, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE("period " + std::to_string(c.periodMs) + ", step " + std::to_string(c.stepMs));
        CountingTimer timer(c.periodMs, c.stepMs);
        ASSERT_TRUE(timer.waitNextTick());
        const std::int64_t previous = timer.lastTick();
        ASSERT_TRUE(timer.waitNextTick());
        // The sleeps add up to the period less what had elapsed already;
        // 1 ms for the clock's truncation.
        EXPECT_GE(timer.lastTick() - previous, c.periodMs - 1);
    }
}

TEST(QorTimerThread, StopRequestIsSeenWithinAStep) {
    CountingTimer timer(100000, 100);
    timer.startTimer();
    const std::int64_t started = timer.lastTick();
    ASSERT_TRUE(waitUntil([&] { return timer.isRunning(); }));
    Poco::Thread::sleep(150); // into the wait
    timer.requestStop();
    // Far less than the period: only the step makes this join succeed.
    EXPECT_TRUE(timer.join(20000, false));
    EXPECT_EQ(timer.ticks.load(), 0);
    EXPECT_EQ(timer.lastTickAtEnd.load(), started) << "a stopped wait leaves the last tick alone";
}

TEST(QorTimerThread, TicksRepeatUntilStopTimer) {
    LogCapture capture("debug");
    CountingTimer timer(20, 5);
    timer.startTimer();
    EXPECT_TRUE(waitUntil([&] { return timer.ticks.load() >= 3; }));
    timer.stopTimer();
    EXPECT_EQ(timer.state(), qor::ThreadState::JOINED);
    EXPECT_FALSE(timer.started());
    const int ticks = timer.ticks.load();
    Poco::Thread::sleep(60);
    EXPECT_EQ(timer.ticks.load(), ticks);
}
