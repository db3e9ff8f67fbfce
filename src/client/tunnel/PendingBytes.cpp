#include "PendingBytes.h"

#include <algorithm>

namespace qor {

void PendingBytes::append(const char* data, std::size_t length) {
    if (length == 0) return;
    if (!chunks_.empty()) {
        std::vector<char>& last = chunks_.back();
        const std::size_t room = last.capacity() - last.size();
        const std::size_t take = std::min(room, length);
        last.insert(last.end(), data, data + take);
        data += take;
        length -= take;
        size_ += take;
    }
    if (length == 0) return;
    chunks_.emplace_back();
    std::vector<char>& chunk = chunks_.back();
    chunk.reserve(std::max(length, CHUNK_SIZE));
    chunk.assign(data, data + length);
    size_ += length;
}

const char* PendingBytes::frontData() const { return chunks_.empty() ? nullptr : chunks_.front().data() + headOffset_; }

std::size_t PendingBytes::frontSize() const { return chunks_.empty() ? 0 : chunks_.front().size() - headOffset_; }

void PendingBytes::consume(std::size_t count) {
    count = std::min(count, frontSize());
    headOffset_ += count;
    size_ -= count;
    if (!chunks_.empty() && headOffset_ == chunks_.front().size()) {
        chunks_.pop_front();
        headOffset_ = 0;
    }
}

void PendingBytes::clear() {
    chunks_.clear();
    headOffset_ = 0;
    size_ = 0;
}

} // namespace qor
