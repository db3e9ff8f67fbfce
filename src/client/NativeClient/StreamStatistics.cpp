#include "StreamStatistics.h"

#include "Logging.h"
#include "Utilities.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <string>

namespace qor {

namespace {
constexpr std::int32_t DEFAULT_REPORT_INTERVAL = 6;

std::int32_t clampToInt32(std::int64_t value) {
    return static_cast<std::int32_t>(std::min<std::int64_t>(value, std::numeric_limits<std::int32_t>::max()));
}

// The millisecond clock often reads 0 for a fast decode or conversion.
std::int64_t atLeastOneMs(std::int64_t elapsedMs) { return elapsedMs <= 0 ? 1 : elapsedMs; }
} // namespace

StreamStatistics::StreamStatistics() : intervalStart(monotonicMillis()) {}

std::int32_t StreamStatistics::countFrame() {
    Poco::FastMutex::ScopedLock guard(lock);
    return ++frameCount;
}

void StreamStatistics::addDecodeSample(std::int64_t elapsedMs, std::int64_t length) {
    const std::int64_t t = atLeastOneMs(elapsedMs);
    Poco::FastMutex::ScopedLock guard(lock);
    decodeTime.add(t);
    frameSize.add(length);
    maxDecodeTime = std::max(maxDecodeTime, clampToInt32(t));
    maxFrameSize = std::max(maxFrameSize, clampToInt32(length));
}

void StreamStatistics::addConversionTime(std::int64_t elapsedMs) {
    const std::int64_t t = atLeastOneMs(elapsedMs);
    Poco::FastMutex::ScopedLock guard(lock);
    maxConversionTime = std::max(maxConversionTime, clampToInt32(t));
    conversionTime.add(t);
}

void StreamStatistics::countInInterval(std::int64_t nowMs) {
    Poco::FastMutex::ScopedLock guard(lock);
    if (nowMs > intervalStart + INTERVAL_MS) {
        lastIntervalCount = intervalCount;
        intervalCount = 0;
        // Whole steps, so that the grid stays aligned to the creation time.
        intervalStart += (nowMs - intervalStart - 1) / INTERVAL_MS * INTERVAL_MS;
    }
    ++intervalCount;
}

void StreamStatistics::reset(std::int32_t frameRate) {
    Poco::FastMutex::ScopedLock guard(lock);
    if (frameRate >= 1 && frameRate <= std::numeric_limits<std::int32_t>::max() / 4) {
        meanWindow = 2 * frameRate;
        varWindow = 4 * frameRate;
    } else {
        logWarning("StreamStatistics: Ignoring frame rate " + std::to_string(frameRate) +
                   ", keeping statistics windows " + std::to_string(meanWindow) + "/" + std::to_string(varWindow));
    }
    for (RunningStatistic* statistic : {&decodeTime, &conversionTime, &frameSize}) statistic->reset(meanWindow, varWindow);
    maxDecodeTime = 0;
    maxConversionTime = 0;
    maxFrameSize = 0;
}

StreamStatistics::Snapshot StreamStatistics::snapshot() {
    Poco::FastMutex::ScopedLock guard(lock);
    Snapshot s;
    s.frameCount = frameCount;
    s.lastIntervalCount = lastIntervalCount;
    s.meanWindow = meanWindow;
    s.decodeAverage = decodeTime.average();
    s.decodeDeviation = decodeTime.standardDeviation();
    s.decodeSamples = decodeTime.varCount;
    s.conversionAverage = conversionTime.average();
    s.conversionDeviation = conversionTime.standardDeviation();
    s.conversionSamples = conversionTime.varCount;
    s.frameSizeAverage = frameSize.average();
    s.frameSizeDeviation = frameSize.standardDeviation();
    s.maxDecodeTime = maxDecodeTime;
    s.maxConversionTime = maxConversionTime;
    s.maxFrameSize = maxFrameSize;
    return s;
}

StreamStatistics::DecodeTimeWindow StreamStatistics::takeDecodeTimeWindow() {
    Poco::FastMutex::ScopedLock guard(lock);
    const DecodeTimeWindow window{decodeTime.average(), decodeTime.min, decodeTime.max};
    decodeTime.max = 0;
    decodeTime.min = RunningStatistic::NO_MINIMUM;
    return window;
}

bool StreamStatistics::reportDue(std::int32_t reportCounter, std::int32_t reportInterval) {
    if (reportInterval < 1) {
        static std::atomic<bool> warned{false};
        if (!warned.exchange(true)) {
            logWarning("Illegal value '" + std::to_string(reportInterval) +
                       "' for config setting Client.Debug.ReportInterval.  Using default value '" +
                       std::to_string(DEFAULT_REPORT_INTERVAL) + "'");
        }
        reportInterval = DEFAULT_REPORT_INTERVAL;
    }
    return reportCounter % reportInterval == 0;
}

} // namespace qor
