// Receive buffers of 32 MiB and one byte (for the terminating zero). Video
// receive threads hand a filled buffer to the decoder and go on with another
// one; the decoder gives it back when it has decoded the access unit. The
// pool keeps a few free buffers, so that a stream reuses the same memory
// instead of mapping and unmapping 32 MiB per access unit.
#pragma once

#include "NativeClientBaseEvent.h"

#include <Poco/Mutex.h>

#include <cstddef>
#include <vector>

namespace qor {

class VideoBufferPool {
public:
    // Payload bytes of one buffer; the buffer has one byte more.
    static constexpr std::size_t BUFFER_SIZE = 33554432;
    // Free buffers kept; more are freed when they come back.
    static constexpr std::size_t KEEP_FREE = 4;

    using Buffer = EventPayload<char>;

    // A buffer whose deleter gives it back to the pool.
    static Buffer acquire();
    // The release function of pooled buffers.
    static void release(char* buffer);

    static std::size_t freeCount();
    static std::size_t allocatedCount();

private:
    VideoBufferPool() = default;
    ~VideoBufferPool();
    static VideoBufferPool& pool();

    Poco::FastMutex lock_;
    std::vector<char*> free_;
    std::size_t allocated_ = 0;
};

} // namespace qor
