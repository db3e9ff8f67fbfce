// Running statistic of the memory-copy test: extremes, sample count and a
// moving average over the last `window` samples.
#pragma once

struct CopyTimeStats {
    void reset();
    void add(double sample);
    // The moving average, or -1 while fewer than `window` samples are in it.
    double reportedAverage() const { return samplesInAverage >= window ? average : -1.0; }

    double maximum = 0;
    double minimum = 2147483647;
    int count = 0;
    int samplesInAverage = 0;
    int window = 5;
    double average = 0;
};

extern CopyTimeStats copyTimeStats;
