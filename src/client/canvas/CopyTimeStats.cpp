#include "CopyTimeStats.h"

#include <algorithm>

CopyTimeStats copyTimeStats;

void CopyTimeStats::reset() { *this = CopyTimeStats(); }

void CopyTimeStats::add(double sample) {
    ++count;
    if (sample > maximum) maximum = sample;
    if (sample < minimum) minimum = sample;
    const int k = std::min(samplesInAverage, window);
    average = (k * average + sample) / (k + 1);
    samplesInAverage = k + 1;
}
