#include "RunningStatistic.h"

#include <algorithm>
#include <cmath>

namespace qor {

RunningStatistic::RunningStatistic(std::int32_t meanWindow, std::int32_t varWindow)
    : meanWindow(meanWindow), varWindow(varWindow) {}

void RunningStatistic::add(std::int64_t sample) {
    const double x = static_cast<double>(sample);
    if (x > max) max = x;
    if (x < min) min = x;

    // Up to the window the plain average; then each sample weighs
    // 1 / (window + 1).
    const std::int32_t n = std::max(std::min(meanCount, meanWindow), 0);
    mean = (n * mean + x) / (n + 1);
    meanCount = n + 1;

    // The spread follows the samples once the average has its window: a
    // running mean of the squared deviations over the last
    // varWindow - meanWindow samples.
    std::int32_t v = varCount;
    if (v > meanWindow) {
        if (v >= varWindow) v = v - 1;
        const std::int32_t k = std::max(v - meanWindow, 0);
        const double deviation = mean - x;
        variance = (k * variance + deviation * deviation) / (k + 1);
    }
    varCount = v + 1;
}

double RunningStatistic::average() const {
    return meanCount >= meanWindow ? mean : -1.0;
}

double RunningStatistic::standardDeviation() const {
    return varCount > meanWindow ? std::sqrt(variance) : -1.0;
}

void RunningStatistic::reset(std::int32_t newMeanWindow, std::int32_t newVarWindow) {
    meanCount = 0;
    varCount = 0;
    meanWindow = newMeanWindow;
    varWindow = newVarWindow;
    mean = 0;
    variance = 0;
    max = 0;
    min = NO_MINIMUM;
}

} // namespace qor
