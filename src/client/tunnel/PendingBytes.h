// Bytes from the peer that a local application has not taken yet, in the
// order they came. They wait here, in chunks, while the tunnel thread
// serves the other connections; the owner bounds how many may wait.
#pragma once

#include <cstddef>
#include <deque>
#include <vector>

namespace qor {

class PendingBytes {
public:
    PendingBytes() = default;
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

    // Small appends fill the last chunk up to this size before a new one
    // is made, so that a stream of small frames costs few allocations.
    static constexpr std::size_t CHUNK_SIZE = 64 * 1024;

private:
    std::deque<std::vector<char>> chunks_;
    std::size_t headOffset_ = 0; // bytes of the first chunk already taken
    std::size_t size_ = 0;
};

} // namespace qor
