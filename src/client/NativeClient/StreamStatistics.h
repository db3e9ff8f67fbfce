// The statistics block of one screen's video stream. The decoder thread
// counts access units, decode times, access-unit sizes and decoded frames per
// second; the colour-conversion thread records conversion times; the session
// resets the windows on new stream parameters and reads the block for the
// server's statistics requests and its statistics log line. Every operation
// holds the block's lock for its whole duration.
#pragma once

#include "RunningStatistic.h"

#include <Poco/Mutex.h>

#include <cstdint>

namespace qor {

class StreamStatistics {
public:
    // Windows of the three running statistics until the first reset.
    static constexpr std::int32_t INITIAL_MEAN_WINDOW = 6;
    static constexpr std::int32_t INITIAL_VAR_WINDOW = 12;
    static constexpr std::int64_t INTERVAL_MS = 1000;

    // The values the session's readers need, taken under the lock at once.
    struct Snapshot {
        std::int32_t frameCount;
        std::int32_t lastIntervalCount;
        std::int32_t meanWindow;
        double decodeAverage, decodeDeviation;
        std::int32_t decodeSamples;
        double conversionAverage, conversionDeviation;
        std::int32_t conversionSamples;
        double frameSizeAverage, frameSizeDeviation;
        std::int32_t maxDecodeTime, maxConversionTime, maxFrameSize;
    };

    // What the decoder's progress line shows of the decode times since the
    // previous line.
    struct DecodeTimeWindow {
        double average, min, max;
    };

    StreamStatistics();
    StreamStatistics(const StreamStatistics&) = delete;
    StreamStatistics& operator=(const StreamStatistics&) = delete;

    // One more access unit taken by a decoder; returns the new count.
    std::int32_t countFrame();
    // One decoded frame: its decode time (a measured 0 counts as 1 ms) and
    // its access unit's size.
    void addDecodeSample(std::int64_t elapsedMs, std::int64_t length);
    // One converted frame's conversion time (0 counts as 1 ms).
    void addConversionTime(std::int64_t elapsedMs);
    // One decoded frame at that time (monotonicMillis) into the 1000 ms
    // interval grid that starts at the block's creation.
    void countInInterval(std::int64_t nowMs);
    // New stream parameters: windows of twice and four times the frame rate,
    // every running statistic and maximum forgotten; the frame count and the
    // interval counts stay. A frame rate below 1 keeps the windows.
    void reset(std::int32_t frameRate);

    Snapshot snapshot();
    // Reads the decode-time average, minimum and maximum, then starts a new
    // minimum and maximum for the next progress line.
    DecodeTimeWindow takeDecodeTimeWindow();

    // Whether the statistics log line is due at this report counter. An
    // interval below 1 cannot be used: it is logged once and the default of
    // the setting applies.
    static bool reportDue(std::int32_t reportCounter, std::int32_t reportInterval);

    Poco::FastMutex lock;
    std::int32_t frameCount = 0;
    std::int64_t intervalStart;
    std::int32_t intervalCount = 0;
    std::int32_t lastIntervalCount = 0;
    std::int32_t meanWindow = INITIAL_MEAN_WINDOW;
    std::int32_t varWindow = INITIAL_VAR_WINDOW;
    RunningStatistic decodeTime{INITIAL_MEAN_WINDOW, INITIAL_VAR_WINDOW};
    RunningStatistic conversionTime{INITIAL_MEAN_WINDOW, INITIAL_VAR_WINDOW};
    RunningStatistic frameSize{INITIAL_MEAN_WINDOW, INITIAL_VAR_WINDOW};
    std::int32_t maxDecodeTime = 0;
    std::int32_t maxConversionTime = 0;
    std::int32_t maxFrameSize = 0;
};

} // namespace qor
