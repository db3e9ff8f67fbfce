// Cost of one receive buffer per access unit: a fresh 32 MiB allocation
// (mapped and unmapped by the allocator each time) against the pool, each
// with a typical access unit written into it.
#include "VideoBufferPool.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr int ROUNDS = 2000;
constexpr std::size_t UNIT_BYTES = 60 * 1024;

// Keeps the compiler from dropping the buffer and its writes.
void escape(void* pointer) { asm volatile("" : : "g"(pointer) : "memory"); }

template <typename Body>
double microsecondsPerRound(Body body) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < ROUNDS; ++i) body();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration<double, std::micro>(elapsed).count() / ROUNDS;
}

} // namespace

int main() {
    static char unit[UNIT_BYTES];
    std::memset(unit, 0x5a, sizeof unit);
    const double fresh = microsecondsPerRound([] {
        std::unique_ptr<char[]> buffer(new char[qor::VideoBufferPool::BUFFER_SIZE + 1]);
        std::memcpy(buffer.get(), unit, sizeof unit);
        buffer[sizeof unit] = '\0';
        escape(buffer.get());
    });
    const double pooled = microsecondsPerRound([] {
        qor::VideoBufferPool::Buffer buffer = qor::VideoBufferPool::acquire();
        std::memcpy(buffer.get(), unit, sizeof unit);
        buffer.get()[sizeof unit] = '\0';
        escape(buffer.get());
    });
    std::printf("receive buffer per %zu-byte access unit: fresh %.1f us, pooled %.1f us\n", UNIT_BYTES, fresh,
                pooled);
    return 0;
}
