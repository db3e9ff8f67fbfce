#include "VideoBufferPool.h"

namespace qor {

VideoBufferPool& VideoBufferPool::pool() {
    static VideoBufferPool instance;
    return instance;
}

VideoBufferPool::~VideoBufferPool() {
    for (char* buffer : free_) delete[] buffer;
}

VideoBufferPool::Buffer VideoBufferPool::acquire() {
    VideoBufferPool& self = pool();
    char* buffer = nullptr;
    {
        Poco::FastMutex::ScopedLock guard(self.lock_);
        if (!self.free_.empty()) {
            buffer = self.free_.back();
            self.free_.pop_back();
        } else {
            ++self.allocated_;
        }
    }
    if (buffer == nullptr) {
        try {
            buffer = new char[BUFFER_SIZE + 1];
        } catch (...) {
            Poco::FastMutex::ScopedLock guard(self.lock_);
            --self.allocated_;
            throw;
        }
    }
    return Buffer(buffer, &VideoBufferPool::release);
}

void VideoBufferPool::release(char* buffer) {
    if (buffer == nullptr) return;
    VideoBufferPool& self = pool();
    {
        Poco::FastMutex::ScopedLock guard(self.lock_);
        if (self.free_.size() < KEEP_FREE) {
            self.free_.push_back(buffer);
            return;
        }
        --self.allocated_;
    }
    delete[] buffer;
}

std::size_t VideoBufferPool::freeCount() {
    VideoBufferPool& self = pool();
    Poco::FastMutex::ScopedLock guard(self.lock_);
    return self.free_.size();
}

std::size_t VideoBufferPool::allocatedCount() {
    VideoBufferPool& self = pool();
    Poco::FastMutex::ScopedLock guard(self.lock_);
    return self.allocated_;
}

} // namespace qor
