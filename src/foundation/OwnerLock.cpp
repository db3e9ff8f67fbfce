#include "OwnerLock.h"

#include <Poco/Thread.h>

void OwnerLock::recordHolder() {
    busy_.store(true, std::memory_order_relaxed);
    Poco::Thread* current = Poco::Thread::current();
    owner_.store(current ? current->id() : 0, std::memory_order_relaxed);
}

void OwnerLock::lock() {
    mutex_.lock();
    recordHolder();
}

void OwnerLock::unlock() {
    busy_.store(false, std::memory_order_relaxed);
    mutex_.unlock();
}

bool OwnerLock::tryLock() { return mutex_.tryLock(); }

ScopedOwnerLock::ScopedOwnerLock(OwnerLock& lock) : lock_(&lock) {
    if (!lock_->tryLock()) lock_->mutex_.lock();
    lock_->recordHolder();
    locked_ = true;
}

ScopedOwnerLock::~ScopedOwnerLock() {
    if (locked_) lock_->unlock();
}
