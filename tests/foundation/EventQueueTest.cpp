#include "BaseEvent.h"
#include "EventQueue.h"
#include "QorEventThread.h"

#include "LogCapture.h"
#include "ThreadTestHelpers.h"

#include <Poco/Mutex.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

using qor::BaseEvent;
using qor::EventQueue;
using qor::QorEventThread;
using testing_threads::FunctionThread;
using testing_threads::waitUntil;
using testing_threads::without;

namespace {

// An event that reports its destruction; its type is its sequence number.
class CountingEvent : public BaseEvent {
public:
    CountingEvent(std::atomic<int>& destroyed, int sequence) : destroyed_(destroyed), sequence_(sequence) {}
    std::string name() const override { return "Counting"; }
    int type() const override { return sequence_; }

protected:
    ~CountingEvent() override { ++destroyed_; }

private:
    std::atomic<int>& destroyed_;
    int sequence_;
};

struct Delivery {
    int type;
    bool backlogged;
    std::int64_t remaining;
    bool operator==(const Delivery& o) const {
        return type == o.type && backlogged == o.backlogged && remaining == o.remaining;
    }
};

std::ostream& operator<<(std::ostream& out, const Delivery& d) {
    return out << "{" << d.type << ", " << d.backlogged << ", " << d.remaining << "}";
}

// An event thread that records what it takes and then runs an optional
// handler; empty wake-ups are counted and the loop goes on while running.
class RecordingConsumer : public QorEventThread {
public:
    using Handler = std::function<void(RecordingConsumer&, BaseEvent&)>;

    explicit RecordingConsumer(Handler handler = {}) : QorEventThread(false), handler_(std::move(handler)) {
        setName("Consumer");
    }
    ~RecordingConsumer() override {
        if (started()) stopEventLoop();
    }

    void eventLoop() override {
        while (isRunning()) {
            checkpoint(__LINE__, qor::CheckpointFile::SERVER_PROXY);
            Poco::AutoPtr<BaseEvent> event = waitForEvent();
            if (!event) {
                ++emptyWakeUps;
                continue;
            }
            {
                Poco::FastMutex::ScopedLock guard(mutex_);
                deliveries_.push_back({event->type(), event->backlogged, event->remainingInQueue});
            }
            if (handler_) handler_(*this, *event);
        }
    }

    std::vector<Delivery> deliveries() const {
        Poco::FastMutex::ScopedLock guard(mutex_);
        return deliveries_;
    }
    std::vector<int> types() const {
        std::vector<int> result;
        for (const Delivery& d : deliveries()) result.push_back(d.type);
        return result;
    }
    std::size_t delivered() const { return deliveries().size(); }

    std::atomic<int> emptyWakeUps{0};

private:
    Handler handler_;
    mutable Poco::FastMutex mutex_;
    std::vector<Delivery> deliveries_;
};

std::vector<int> sequence(int from, int count) {
    std::vector<int> result;
    for (int i = 0; i < count; ++i) result.push_back(from + i);
    return result;
}

} // namespace

TEST(EventQueue, LimitRefusesThe729thAndDestroysIt) {
    std::atomic<int> destroyed{0};
    RecordingConsumer consumer;
    for (int i = 0; i < EventQueue::EVENT_LIMIT; ++i)
        ASSERT_TRUE(consumer.postEvent(new CountingEvent(destroyed, i))) << "post " << i;
    EXPECT_EQ(consumer.queuedEvents(), 728);
    EXPECT_FALSE(consumer.postEvent(new CountingEvent(destroyed, 728)));
    EXPECT_EQ(destroyed.load(), 1) << "the refused event must be gone at once";
    EXPECT_EQ(consumer.queuedEvents(), 728);

    consumer.start(-1);
    ASSERT_TRUE(waitUntil([&] { return consumer.delivered() == 728; }));
    EXPECT_EQ(consumer.types(), sequence(0, 728));
    consumer.stopEventLoop();
    EXPECT_EQ(destroyed.load(), 729);
}

TEST(EventQueue, RefusedPostsLeaveTheEventToItsOtherHolders) {
    std::atomic<int> destroyed{0};
    RecordingConsumer consumer;
    for (int i = 0; i < EventQueue::EVENT_LIMIT; ++i) consumer.postEvent(new CountingEvent(destroyed, i));
    CountingEvent* shared = new CountingEvent(destroyed, 1000);
    shared->duplicate();
    EXPECT_FALSE(consumer.postEvent(shared));
    EXPECT_EQ(destroyed.load(), 0) << "the poster still holds a reference";
    shared->release();
    EXPECT_EQ(destroyed.load(), 1);
}

TEST(EventQueue, NullPostIsRefused) {
    RecordingConsumer consumer;
    EXPECT_FALSE(consumer.postEvent(nullptr));
    EXPECT_EQ(consumer.queuedEvents(), 0);
}

TEST(EventQueue, ConsumerMayPostToItsOwnQueueWithoutBlocking) {
    std::atomic<int> destroyed{0};
    std::atomic<int> accepted{0};
    RecordingConsumer consumer([&](RecordingConsumer& self, BaseEvent& event) {
        if (event.type() != -1) return;
        for (int i = 0; i < 800; ++i)
            if (self.postEvent(new CountingEvent(destroyed, i))) ++accepted;
    });
    consumer.start(-1);
    consumer.postEvent(new CountingEvent(destroyed, -1));
    ASSERT_TRUE(waitUntil([&] { return consumer.delivered() == 1 + 728; }));
    EXPECT_EQ(accepted.load(), 728);
    std::vector<int> expected = {-1};
    for (int i : sequence(0, 728)) expected.push_back(i);
    EXPECT_EQ(consumer.types(), expected);
    consumer.stopEventLoop();
    EXPECT_EQ(destroyed.load(), 801);
}

// Past the loop's running test, the consumer is bound to wait: a stop from
// here on reaches it as exactly one empty wake-up.
static void startAndWaitForTheWait(RecordingConsumer& consumer) {
    consumer.start(-1);
    ASSERT_TRUE(waitUntil([&] { return consumer.checkpointStep() >= 1; }));
}

TEST(EventQueue, StopEventLoopByThreadState) {
    struct Case {
        const char* label;
        std::function<void(RecordingConsumer&)> prepare;
        std::vector<std::string> lines;
        std::int32_t stateAfter;
        int emptyWakeUps;
    };
    const std::vector<Case> cases = {
        {"never started", [](RecordingConsumer&) {}, {"Consumer: Thread never started"},
         qor::ThreadState::CREATED, 0},
        {"already joined",
         [](RecordingConsumer& c) {
             startAndWaitForTheWait(c);
             c.stopEventLoop();
         },
         {}, qor::ThreadState::JOINED, 1},
        {"running with an empty queue", startAndWaitForTheWait,
         {"Consumer: Triggering loop", "Consumer: Thread terminated", "Consumer: Thread ({id}) joined"},
         qor::ThreadState::JOINED, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        LogCapture capture("trace");
        RecordingConsumer consumer;
        c.prepare(consumer);
        capture.clear();
        consumer.stopEventLoop();
        EXPECT_EQ(without(capture.texts(), "Joining thread ("),
                  testing_threads::withId(c.lines, consumer.threadIdText()));
        EXPECT_EQ(consumer.state(), c.stateAfter);
        EXPECT_EQ(consumer.emptyWakeUps.load(), c.emptyWakeUps);
    }
}

TEST(EventQueue, EventsLeftInTheQueueAreDestroyedUndispatched) {
    struct Case {
        const char* label;
        bool start;
    };
    for (const Case& c : {Case{"never started", false}, Case{"stopped while busy", true}}) {
        SCOPED_TRACE(c.label);
        std::atomic<int> destroyed{0};
        std::atomic<bool> busy{false};
        auto consumer = std::make_unique<RecordingConsumer>([&](RecordingConsumer& self, BaseEvent&) {
            busy = true;
            while (self.isRunning()) Poco::Thread::sleep(1);
        });
        int posted = 0;
        if (c.start) {
            consumer->start(-1);
            consumer->postEvent(new CountingEvent(destroyed, posted++));
            ASSERT_TRUE(waitUntil([&] { return busy.load(); }));
        }
        for (int i = 0; i < 3; ++i) consumer->postEvent(new CountingEvent(destroyed, posted++));
        consumer->stopEventLoop();
        const std::size_t dispatched = c.start ? 1 : 0;
        EXPECT_EQ(consumer->delivered(), dispatched) << "no event is taken after the stop";
        EXPECT_EQ(destroyed.load(), static_cast<int>(dispatched));
        EXPECT_EQ(consumer->queuedEvents(), 3);
        consumer.reset();
        EXPECT_EQ(destroyed.load(), posted);
    }
}

TEST(EventQueue, ConsumerMarksBackloggedEventsAndWhatRemains) {
    std::atomic<int> destroyed{0};
    RecordingConsumer consumer;
    for (int i = 0; i < 3; ++i) consumer.postEvent(new CountingEvent(destroyed, i));
    consumer.start(-1);
    ASSERT_TRUE(waitUntil([&] { return consumer.delivered() == 3; }));
    EXPECT_EQ(consumer.deliveries(), (std::vector<Delivery>{{0, true, 2}, {1, true, 1}, {2, true, 0}}));
}

TEST(EventQueue, FreshEventIsNotBacklogged) {
    std::atomic<int> destroyed{0};
    Poco::AutoPtr<BaseEvent> event(new CountingEvent(destroyed, 0));
    EXPECT_FALSE(event->backlogged);
    EXPECT_EQ(event->remainingInQueue, 0);
}

TEST(EventQueue, ConcurrentPostersKeepTheirOwnOrder) {
    constexpr int POSTERS = 4;
    constexpr int EACH = 150;
    std::atomic<int> destroyed{0};
    RecordingConsumer consumer;
    consumer.start(-1);
    {
        std::vector<std::unique_ptr<FunctionThread>> posters;
        for (int p = 0; p < POSTERS; ++p)
            posters.push_back(std::make_unique<FunctionThread>([&, p] {
                for (int i = 0; i < EACH; ++i)
                    EXPECT_TRUE(consumer.postEvent(new CountingEvent(destroyed, p * 1000 + i)));
            }));
    }
    ASSERT_TRUE(waitUntil([&] { return consumer.delivered() == POSTERS * EACH; }));
    std::vector<int> next(POSTERS, 0);
    for (int type : consumer.types()) {
        const int poster = type / 1000;
        EXPECT_EQ(type % 1000, next[poster]++) << "poster " << poster;
    }
    consumer.stopEventLoop();
    EXPECT_EQ(destroyed.load(), POSTERS * EACH);
}
