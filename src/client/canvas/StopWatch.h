// A millisecond stop watch over the monotonic clock.
#pragma once

#include "Utilities.h"

#include <cstdint>

struct StopWatch {
    explicit StopWatch(bool started) : start(started ? monotonicMillis() : 0) {}
    std::int64_t elapsed() const { return monotonicMillis() - start; }

    std::int64_t start;
    std::int64_t reserved = 0;
};
