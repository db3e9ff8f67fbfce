// A running summary of integer samples (milliseconds or bytes): largest and
// smallest sample since the last reset, an average over a sliding window and
// a spread estimate over a longer one. Not locked: its owner serialises it.
#pragma once

#include <cstdint>

namespace qor {

class RunningStatistic {
public:
    static constexpr double NO_MINIMUM = 2147483647.0;

    RunningStatistic(std::int32_t meanWindow, std::int32_t varWindow);

    void add(std::int64_t sample);
    // The windowed average once meanWindow samples were seen, else -1.
    double average() const;
    // The spread's square root once more than meanWindow samples were seen,
    // else -1.
    double standardDeviation() const;
    // Forgets every sample and takes the new windows.
    void reset(std::int32_t newMeanWindow, std::int32_t newVarWindow);

    double max = 0;
    double min = NO_MINIMUM;
    std::int32_t meanCount = 0;
    std::int32_t varCount = 0;
    std::int32_t meanWindow;
    std::int32_t varWindow;
    double mean = 0;
    double variance = 0;
};

} // namespace qor
