// Bytes from the peer that a local application has not taken yet, in the
// order they came. They wait here, in chunks of a fixed size, while the
// tunnel thread serves the other connections; the owner bounds how many may
// wait.
//
// Chunks that are emptied go back to a store of the calling thread (at most
// SPARE_LIMIT bytes of them) for the next bytes that must wait: a stream
// whose application is a little slower than the peer fills and empties
// megabytes again and again, and fresh memory each time would cost more
// than the copies.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>

namespace qor {

class PendingBytes {
public:
    PendingBytes() = default;
    ~PendingBytes();
    PendingBytes(const PendingBytes&) = delete;
    PendingBytes& operator=(const PendingBytes&) = delete;

    // Copies the bytes behind those already waiting.
    void append(const char* data, std::size_t length);
    // The oldest bytes, as one contiguous piece (empty when none wait).
    const char* frontData() const;
    std::size_t frontSize() const;
    // Drops the first count bytes of the front piece (at most frontSize).
    void consume(std::size_t count);
    void clear();

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    static constexpr std::size_t CHUNK_SIZE = 256 * 1024;
    static constexpr std::size_t SPARE_LIMIT = 8u * 1024 * 1024;

private:
    using Chunk = std::unique_ptr<char[]>;
    void release(Chunk chunk);

    std::deque<Chunk> chunks_;
    std::size_t headOffset_ = 0; // bytes of the first chunk already taken
    std::size_t tailUsed_ = 0;   // bytes of the last chunk filled
    std::size_t size_ = 0;
};

} // namespace qor
