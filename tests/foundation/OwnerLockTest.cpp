#include "OwnerLock.h"

#include <Poco/Event.h>
#include <Poco/Runnable.h>
#include <Poco/Thread.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>

namespace {

// Runs a function on a POCO thread.
class FunctionThread : public Poco::Runnable {
public:
    explicit FunctionThread(std::function<void()> fn) : fn_(std::move(fn)) {}
    void start() { thread_.start(*this); }
    void join() { thread_.join(); }
    int id() const { return thread_.id(); }
    void run() override { fn_(); }

private:
    std::function<void()> fn_;
    Poco::Thread thread_;
};

} // namespace

TEST(OwnerLock, NeverAcquired) {
    OwnerLock lock;
    EXPECT_EQ(lock.owner(), -1);
    EXPECT_FALSE(lock.busy());
}

TEST(OwnerLock, RecordsLastPocoHolderAfterRelease) {
    OwnerLock lock;
    FunctionThread t([&] { ScopedOwnerLock guard(lock); EXPECT_TRUE(guard.locked()); });
    t.start();
    t.join();
    EXPECT_EQ(lock.owner(), t.id());
    EXPECT_GT(lock.owner(), 0);
    EXPECT_FALSE(lock.busy());
}

TEST(OwnerLock, NonPocoThreadRecordsZero) {
    OwnerLock lock;
    lock.lock();
    EXPECT_TRUE(lock.busy());
    EXPECT_EQ(lock.owner(), 0);
    lock.unlock();
    EXPECT_FALSE(lock.busy());
    EXPECT_EQ(lock.owner(), 0);
}

TEST(OwnerLock, NestedGuardsOnOneThreadAndFreedOnlyAfterBoth) {
    OwnerLock lock;
    std::atomic<bool> otherGotIt{false};
    Poco::Event innerReleased;
    FunctionThread other([&] {
        innerReleased.wait();
        ScopedOwnerLock guard(lock);
        otherGotIt = true;
    });
    {
        ScopedOwnerLock outer(lock);
        {
            ScopedOwnerLock inner(lock); // must not block
            EXPECT_TRUE(inner.locked());
        }
        other.start();
        innerReleased.set();
        Poco::Thread::sleep(50);
        EXPECT_FALSE(otherGotIt.load()) << "lock was free while the outer guard still held it";
    }
    other.join();
    EXPECT_TRUE(otherGotIt.load());
}

TEST(OwnerLock, GuardBlocksUntilHolderReleases) {
    OwnerLock lock;
    Poco::Event held;
    Poco::Event release;
    FunctionThread holder([&] {
        lock.lock();
        held.set();
        release.wait();
        lock.unlock();
    });
    holder.start();
    held.wait();
    EXPECT_FALSE(lock.tryLock());
    std::atomic<bool> entered{false};
    FunctionThread waiter([&] {
        ScopedOwnerLock guard(lock);
        entered = guard.locked();
    });
    waiter.start();
    Poco::Thread::sleep(50);
    EXPECT_FALSE(entered.load());
    release.set();
    waiter.join();
    holder.join();
    EXPECT_TRUE(entered.load());
    EXPECT_EQ(lock.owner(), waiter.id());
}
