#include "QorThread.h"
#include "ThreadRegistry.h"

#include "LogCapture.h"
#include "ThreadTestHelpers.h"

#include <Poco/Event.h>
#include <Poco/Exception.h>
#include <Poco/Message.h>

#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

using qor::QorThread;
using qor::ThreadState::BODY_RETURNED;
using qor::ThreadState::CREATED;
using qor::ThreadState::JOINED;
using qor::ThreadState::RUNNING;
using qor::ThreadState::STOP_REQUESTED;
using testing_threads::FunctionThread;
using testing_threads::ScriptedThread;
using testing_threads::waitUntil;
using testing_threads::withId;
using testing_threads::without;

namespace {

bool isRunningState(const QorThread& t) { return t.state() == RUNNING; }

} // namespace

// Stopping and joining a running thread: which lines appear depends on the
// name and on verbose. Whether the body took longer than the quiet join try
// is a matter of scheduling, so "Joining thread (" lines are left out here.
TEST(QorThread, StopAndJoinLinesByNameAndVerbose) {
    struct Case {
        const char* name;
        bool verbose;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"Worker", false,
         {"Worker: Stopping and joining thread ({id})", "Worker: Thread terminated", "Worker: Thread ({id}) joined"}},
        {"Worker", true,
         {"Worker: Stopping and joining thread ({id})", "Worker: Thread terminated", "Worker: Thread ({id}) joined"}},
        {"", false, {}},
        {"", true, {"Stopping and joining thread ({id})", "Thread ({id}) joined"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("name '") + c.name + "', verbose " + (c.verbose ? "true" : "false"));
        LogCapture capture("trace");
        ScriptedThread t(c.name, ScriptedThread::runWhileRunning);
        EXPECT_TRUE(t.start(-1));
        ASSERT_TRUE(waitUntil([&] { return isRunningState(t); }));
        const std::string id = t.threadIdText();
        EXPECT_EQ(id, std::to_string(std::stoi(id)));
        EXPECT_GT(std::stoi(id), 0);
        capture.clear();
        t.stop(true, c.verbose);
        EXPECT_EQ(without(capture.texts(), "Joining thread ("), withId(c.expected, id));
        EXPECT_EQ(t.state(), JOINED);
        EXPECT_FALSE(t.started());
    }
}

TEST(QorThread, BoundedJoinOnRunningThreadReportsCheckpointAndChangesNothing) {
    struct Case {
        bool recordCheckpoint;
        const char* where;
    };
    const std::vector<Case> cases = {{false, "-1/0"}, {true, "123/42"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where);
        LogCapture capture("debug");
        Poco::Event release;
        ScriptedThread t("Worker", [&](ScriptedThread& self) {
            if (c.recordCheckpoint) self.checkpoint(123, qor::CheckpointFile::RECEIVE_THREADS);
            release.wait();
        });
        t.start(-1);
        const int steps = c.recordCheckpoint ? 1 : 0;
        ASSERT_TRUE(waitUntil([&] { return isRunningState(t) && t.checkpointStep() == steps; }));
        capture.clear();
        EXPECT_FALSE(t.join(0, false));
        const std::string where = c.where;
        EXPECT_EQ(capture.texts(), withId({"Worker: Waiting to join thread ({id}) currently at " + where,
                                           "Worker: Thread ({id}) not joined, currently at " + where},
                                          t.threadIdText()));
        EXPECT_EQ(t.state(), RUNNING);
        EXPECT_TRUE(t.started());
        release.set();
        EXPECT_TRUE(t.join(-1, false));
        EXPECT_EQ(t.state(), JOINED);
        EXPECT_FALSE(t.started());
    }
}

// A join without limit reports the wait only when the body has not returned
// within its quiet try; a helper releases the body once the report is out.
TEST(QorThread, JoinWithoutLimitReportsWaitOnlyForSlowBody) {
    struct Case {
        const char* label;
        bool bodyBlocks;
        bool recordCheckpoint;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"finished body", false, false, {"Worker: Thread ({id}) joined"}},
        {"blocked body without checkpoint", true, false,
         {"Worker: Joining thread ({id})", "Worker: Thread ({id}) joined"}},
        {"blocked body at checkpoint", true, true,
         {"Worker: Joining thread ({id}) currently at 77/48", "Worker: Thread ({id}) joined"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        LogCapture capture("debug");
        Poco::Event release;
        ScriptedThread t("Worker", [&](ScriptedThread& self) {
            if (c.recordCheckpoint) self.checkpoint(77, qor::CheckpointFile::SERVER_PROXY);
            if (c.bodyBlocks) release.wait();
        });
        t.start(-1);
        if (c.bodyBlocks) {
            ASSERT_TRUE(waitUntil([&] { return isRunningState(t); }));
        } else {
            ASSERT_TRUE(waitUntil([&] { return t.state() == BODY_RETURNED; }));
        }
        capture.clear();
        {
            FunctionThread releaser([&] {
                if (c.bodyBlocks) capture.waitFor("Joining thread (", 10000);
                release.set();
            });
            EXPECT_TRUE(t.join(-1, false));
        }
        EXPECT_EQ(capture.texts(), withId(c.expected, t.threadIdText()));
    }
}

TEST(QorThread, OperationsWithoutEffectLogNothing) {
    struct Case {
        const char* label;
        std::function<void(ScriptedThread&)> prepare;
        std::function<bool(ScriptedThread&)> operation;
        std::int32_t stateAfter;
    };
    auto joinForever = [](ScriptedThread& t) { return t.join(-1, true); };
    const std::vector<Case> cases = {
        {"join of a never started thread", [](ScriptedThread&) {}, joinForever, JOINED},
        {"bounded join of a never started thread", [](ScriptedThread&) {},
         [](ScriptedThread& t) { return t.join(0, true); }, JOINED},
        {"second join", [](ScriptedThread& t) { t.start(-1); t.stop(true, true); }, joinForever, JOINED},
        {"stop without join when created", [](ScriptedThread&) {},
         [](ScriptedThread& t) { t.stop(false, true); return true; }, CREATED},
        {"stop without join when the body returned",
         [](ScriptedThread& t) {
             t.start(-1);
             ASSERT_TRUE(waitUntil([&] { return t.state() == BODY_RETURNED; }));
         },
         [](ScriptedThread& t) { t.stop(false, true); return true; }, BODY_RETURNED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        LogCapture capture("trace");
        ScriptedThread t("Worker", [](ScriptedThread&) {});
        c.prepare(t);
        capture.clear();
        EXPECT_TRUE(c.operation(t));
        EXPECT_EQ(capture.texts(), std::vector<std::string>{});
        EXPECT_EQ(t.state(), c.stateAfter);
        if (c.stateAfter == JOINED) {
            EXPECT_FALSE(t.started());
        }
    }
}

// A stop that comes between start and the body's first instruction must not
// be replaced by "running": the body below only ends when it sees the stop.
TEST(QorThread, StopBeforeBodyStartsIsKept) {
    struct Case {
        const char* label;
        std::function<void(ScriptedThread&)> stopIt;
    };
    const std::vector<Case> cases = {
        {"requestStop", [](ScriptedThread& t) { t.requestStop(); }},
        {"stop without join", [](ScriptedThread& t) { t.stop(false, false); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        int stoppedBeforeBody = 0;
        for (int round = 0; round < 100; ++round) {
            std::atomic<std::int32_t> stateAtEntry{-1};
            ScriptedThread t("", [&](ScriptedThread& self) {
                stateAtEntry = self.state();
                ScriptedThread::runWhileRunning(self);
            });
            t.start(-1);
            c.stopIt(t);
            const bool joined = t.join(10000, false);
            EXPECT_TRUE(joined) << "round " << round << ": the stop request was lost";
            if (!joined) {
                t.requestStop();
                t.join(-1, false);
                break;
            }
            if (stateAtEntry == STOP_REQUESTED) ++stoppedBeforeBody;
        }
        // Thread creation takes far longer than the request; almost every
        // round exercises the early stop.
        RecordProperty(std::string(c.label) + " early stops", stoppedBeforeBody);
    }
}

TEST(QorThread, ThrowingBodyEndsInBodyReturnedAndLogsTheException) {
    struct Case {
        const char* label;
        std::function<void()> raise;
        const char* line;
    };
    const std::vector<Case> cases = {
        {"std::runtime_error", [] { throw std::runtime_error("boom"); },
         "Worker: Thread body ended by exception: boom"},
        {"Poco::IOException", [] { throw Poco::IOException("disk gone"); },
         "Worker: Thread body ended by exception: I/O error: disk gone"},
        {"int", [] { throw 42; }, "Worker: Thread body ended by unknown exception"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        LogCapture capture("trace");
        ScriptedThread t("Worker", [&](ScriptedThread&) { c.raise(); });
        t.start(-1);
        ASSERT_TRUE(waitUntil([&] { return t.state() == BODY_RETURNED; }));
        ASSERT_TRUE(capture.waitFor("Thread terminated", 10000));
        const auto lines = capture.lines();
        const auto it = std::find_if(lines.begin(), lines.end(),
                                     [&](const CapturedLine& l) { return l.text == c.line; });
        ASSERT_NE(it, lines.end());
        EXPECT_EQ(it->priority, Poco::Message::PRIO_ERROR);
        EXPECT_TRUE(t.join(-1, false));
        EXPECT_EQ(t.state(), JOINED);
    }
}

TEST(QorThread, StartWaitsForTheBodySignalWhenAsked) {
    struct Case {
        const char* label;
        bool bodySignals;
        int timeoutMs;
        bool expected;
    };
    const std::vector<Case> cases = {
        {"signal within a bounded wait", true, 30000, true},
        {"signal with a wait without limit", true, 0, true},
        {"no signal within the bound", false, 50, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::atomic<bool> setUpDone{false};
        ScriptedThread t("Decoder_1", [&](ScriptedThread& self) {
            setUpDone = true;
            if (c.bodySignals) self.signalStarted();
            ScriptedThread::runWhileRunning(self);
        }, true);
        EXPECT_EQ(t.start(c.timeoutMs), c.expected);
        if (c.expected) {
            EXPECT_TRUE(setUpDone.load());
        }
        // A start that timed out leaves the thread running.
        EXPECT_TRUE(waitUntil([&] { return isRunningState(t); }));
        t.stop(true, false);
        EXPECT_EQ(t.state(), JOINED);
    }
}

TEST(QorThread, DeletingAThreadUnlinksOnlyItFromTheRegistry) {
    for (int victim = 0; victim < 3; ++victim) {
        SCOPED_TRACE("deleting thread " + std::to_string(victim) + " (0 oldest)");
        std::vector<std::unique_ptr<ScriptedThread>> threads;
        for (int i = 0; i < 3; ++i)
            threads.push_back(std::make_unique<ScriptedThread>("T" + std::to_string(i), [](ScriptedThread&) {}));
        auto listed = [&] {
            std::vector<const QorThread*> ours;
            for (const QorThread* t : qor::ThreadRegistry::snapshot())
                for (const auto& mine : threads)
                    if (mine.get() == t) ours.push_back(t);
            return ours;
        };
        EXPECT_EQ(listed(), (std::vector<const QorThread*>{threads[2].get(), threads[1].get(), threads[0].get()}));
        const QorThread* gone = threads[victim].get();
        threads[victim].reset();
        std::vector<const QorThread*> expected;
        for (int i = 2; i >= 0; --i)
            if (i != victim) expected.push_back(threads[i].get());
        EXPECT_EQ(listed(), expected);
        const auto all = qor::ThreadRegistry::snapshot();
        EXPECT_EQ(std::count(all.begin(), all.end(), gone), 0);
    }
}

namespace {

// Capabilities are per thread on Linux: this drops CAP_SYS_NICE from the
// calling thread only.
void dropNiceCapabilityOfThisThread() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0) return;
    data[0].effective &= ~(1u << CAP_SYS_NICE);
    syscall(SYS_capset, &header, data);
}

bool hasNiceCapability() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    return (data[0].effective & (1u << CAP_SYS_NICE)) != 0;
}

int niceOfThisThread() {
    errno = 0;
    return getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
}

// True when RLIMIT_NICE alone would let an unprivileged thread go 5 steps up.
bool niceLimitAllowsRaise() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NICE, &limit) != 0) return false;
    return 20 - static_cast<long>(limit.rlim_cur) <= niceOfThisThread() - 5;
}

// Lowers the process's RLIMIT_NICE to 0 for its lifetime, so that no thread
// without CAP_SYS_NICE may raise its priority whatever the machine allows
// ordinary users; the old limit comes back at the end.
class NoNiceLimit {
public:
    NoNiceLimit() {
        lowered_ = getrlimit(RLIMIT_NICE, &saved_) == 0;
        rlimit none = saved_;
        none.rlim_cur = 0;
        lowered_ = lowered_ && setrlimit(RLIMIT_NICE, &none) == 0;
    }
    ~NoNiceLimit() {
        if (lowered_) setrlimit(RLIMIT_NICE, &saved_);
    }
    bool lowered() const { return lowered_; }

private:
    rlimit saved_{};
    bool lowered_ = false;
};

} // namespace

TEST(QorThread, RaisePriorityFallsBackToPocoWhenTheSystemRefuses) {
    LogCapture capture("debug");
    NoNiceLimit noNiceLimit;
    ASSERT_TRUE(noNiceLimit.lowered()) << std::strerror(errno);
    std::atomic<bool> mayRaise{false};
    ScriptedThread t("Worker (Send)", [&](ScriptedThread& self) {
        dropNiceCapabilityOfThisThread();
        if (hasNiceCapability() || niceLimitAllowsRaise()) {
            mayRaise = true;
            return;
        }
        self.raisePriority();
    });
    t.start(-1);
    t.join(-1, false);
    ASSERT_FALSE(mayRaise.load()) << "the thread kept the right to raise its priority";
    EXPECT_EQ(without(capture.texts(), "hread ("),
              (std::vector<std::string>{"Worker (Send): Error set max priority",
                                        "Worker (Send): Set thread priority to " +
                                            std::to_string(Poco::Thread::PRIO_HIGHEST)}));
}

TEST(QorThread, RaisePriorityLowersTheThreadsNiceWhenPermitted) {
    LogCapture capture("debug");
    std::atomic<bool> permitted{false};
    std::atomic<int> before{0}, after{0};
    ScriptedThread t("Worker", [&](ScriptedThread& self) {
        permitted = hasNiceCapability();
        before = niceOfThisThread();
        self.raisePriority();
        after = niceOfThisThread();
    });
    t.start(-1);
    t.join(-1, false);
    if (!permitted) GTEST_SKIP() << "no CAP_SYS_NICE here";
    EXPECT_EQ(after.load(), std::max(-20, before.load() - 5));
    EXPECT_FALSE(capture.contains("Error set max priority"));
}

TEST(QorThread, SetPriorityWithRetryOnItsOwnThread) {
    LogCapture capture("debug");
    std::atomic<bool> result{false};
    ScriptedThread t("Worker", [&](ScriptedThread& self) {
        result = self.setPriorityWithRetry(Poco::Thread::PRIO_HIGH);
    });
    t.start(-1);
    t.join(-1, false);
    EXPECT_TRUE(result.load());
    EXPECT_TRUE(capture.contains("Worker: Set thread priority to " + std::to_string(Poco::Thread::PRIO_HIGH)));
}
