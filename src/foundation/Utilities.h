// Small free functions shared by the whole client.
#pragma once

#include <cstdint>

// Milliseconds since system start (CLOCK_MONOTONIC); every time-out, period
// and rate measurement of the client uses this clock.
std::int64_t monotonicMillis();
