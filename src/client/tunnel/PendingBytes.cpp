#include "PendingBytes.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace qor {

namespace {

// Emptied chunks of this thread, for its next pending bytes.
struct SpareChunks {
    std::vector<std::unique_ptr<char[]>> chunks;
};

thread_local SpareChunks spares;

std::unique_ptr<char[]> takeChunk() {
    if (spares.chunks.empty()) return std::unique_ptr<char[]>(new char[PendingBytes::CHUNK_SIZE]);
    std::unique_ptr<char[]> chunk = std::move(spares.chunks.back());
    spares.chunks.pop_back();
    return chunk;
}

} // namespace

PendingBytes::~PendingBytes() { clear(); }

void PendingBytes::append(const char* data, std::size_t length) {
    while (length > 0) {
        if (chunks_.empty() || tailUsed_ == CHUNK_SIZE) {
            chunks_.push_back(takeChunk());
            tailUsed_ = 0;
        }
        const std::size_t take = std::min(CHUNK_SIZE - tailUsed_, length);
        std::memcpy(chunks_.back().get() + tailUsed_, data, take);
        tailUsed_ += take;
        size_ += take;
        data += take;
        length -= take;
    }
}

const char* PendingBytes::frontData() const { return chunks_.empty() ? nullptr : chunks_.front().get() + headOffset_; }

std::size_t PendingBytes::frontSize() const {
    if (chunks_.empty()) return 0;
    return (chunks_.size() == 1 ? tailUsed_ : CHUNK_SIZE) - headOffset_;
}

void PendingBytes::consume(std::size_t count) {
    count = std::min(count, frontSize());
    headOffset_ += count;
    size_ -= count;
    const bool last = chunks_.size() == 1;
    if (chunks_.empty() || headOffset_ < (last ? tailUsed_ : CHUNK_SIZE)) return;
    release(std::move(chunks_.front()));
    chunks_.pop_front();
    headOffset_ = 0;
    if (last) tailUsed_ = 0;
}

void PendingBytes::clear() {
    while (!chunks_.empty()) {
        release(std::move(chunks_.front()));
        chunks_.pop_front();
    }
    headOffset_ = 0;
    tailUsed_ = 0;
    size_ = 0;
}

void PendingBytes::release(Chunk chunk) {
    if (spares.chunks.size() * CHUNK_SIZE < SPARE_LIMIT) spares.chunks.push_back(std::move(chunk));
}

} // namespace qor
