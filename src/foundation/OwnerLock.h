// The lock that the client's own classes use for state shared between
// threads: a recursive mutex that also records which POCO thread took it
// last (-1 before the first acquisition, 0 for a thread POCO did not start)
// and whether it is held. Both records are informational only.
#pragma once

#include <Poco/Mutex.h>

#include <atomic>

class OwnerLock {
public:
    OwnerLock() = default;
    ~OwnerLock() = default;
    OwnerLock(const OwnerLock&) = delete;
    OwnerLock& operator=(const OwnerLock&) = delete;

    void lock();
    void unlock();
    // One non-blocking attempt; records nothing (the guard does that).
    bool tryLock();

    int owner() const { return owner_.load(std::memory_order_relaxed); }
    bool busy() const { return busy_.load(std::memory_order_relaxed); }

private:
    friend class ScopedOwnerLock;
    void recordHolder();

    // Written only by the holder; atomics so that a diagnostic read from
    // another thread is not a data race.
    std::atomic<int> owner_{-1};
    Poco::Mutex mutex_;
    std::atomic<bool> busy_{false};
};

// Scoped guard: tries once without blocking, then blocks.
class ScopedOwnerLock {
public:
    explicit ScopedOwnerLock(OwnerLock& lock);
    ~ScopedOwnerLock();
    ScopedOwnerLock(const ScopedOwnerLock&) = delete;
    ScopedOwnerLock& operator=(const ScopedOwnerLock&) = delete;

    bool locked() const { return locked_; }

private:
    OwnerLock* lock_;
    bool locked_ = false;
};
