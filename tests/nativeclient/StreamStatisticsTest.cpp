// The statistics block's arithmetic: windowed averages and spreads, the
// 1 ms floor of the millisecond clock, the 1000 ms interval grid, resets,
// the progress-line window and unusable settings.
#include "LogCapture.h"
#include "RunningStatistic.h"
#include "StreamStatistics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using qor::RunningStatistic;
using qor::StreamStatistics;

TEST(RunningStatisticMath, AverageAndSpreadOverTheirWindows) {
    // Windows 2 and 4; -1 stands for "not yet reported".
    struct Step {
        std::int64_t sample;
        double average, deviation, min, max;
    } steps[] = {
        {2, -1, -1, 2, 2},
        {4, 3, -1, 2, 4},
        {6, 4, 0, 2, 6},
        // From here each sample weighs a third; the spread is a running mean
        // of squared deviations from the fresh average.
        {8, 16.0 / 3, std::sqrt(64.0 / 9 / 2), 2, 8},
        {10, 62.0 / 9, std::sqrt((64.0 / 9 / 2 + 784.0 / 81) / 2), 2, 10},
        {0, 124.0 / 27, -2, 0, 10},  // -2: only checked to be non-negative
    };
    RunningStatistic statistic(2, 4);
    for (const Step& step : steps) {
        SCOPED_TRACE(step.sample);
        statistic.add(step.sample);
        EXPECT_NEAR(statistic.average(), step.average, 1e-9);
        if (step.deviation == -2) {
            EXPECT_GE(statistic.standardDeviation(), 0);
        } else {
            EXPECT_NEAR(statistic.standardDeviation(), step.deviation, 1e-9);
        }
        EXPECT_EQ(statistic.min, step.min);
        EXPECT_EQ(statistic.max, step.max);
        EXPECT_LE(statistic.meanCount, 3);
        EXPECT_LE(statistic.varCount, 4);
    }
}

TEST(StreamStatisticsMath, FreshBlockReportsNothingYet) {
    StreamStatistics block;
    const StreamStatistics::Snapshot s = block.snapshot();
    for (double value : {s.decodeAverage, s.decodeDeviation, s.conversionAverage, s.conversionDeviation,
                         s.frameSizeAverage, s.frameSizeDeviation}) {
        EXPECT_EQ(value, -1);
    }
    EXPECT_EQ(s.maxDecodeTime, 0);
    EXPECT_EQ(s.maxConversionTime, 0);
    EXPECT_EQ(s.maxFrameSize, 0);
    EXPECT_EQ(s.frameCount, 0);
    EXPECT_EQ(s.meanWindow, 6);
}

TEST(StreamStatisticsMath, WindowsFollowTheFrameRate) {
    // With 24 frames per second the average needs 48 samples, the spread 49.
    struct Case {
        int samples;
        bool average, deviation;
    } cases[] = {{47, false, false}, {48, true, false}, {49, true, true}, {200, true, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.samples);
        StreamStatistics block;
        block.reset(24);
        for (int i = 0; i < c.samples; ++i) block.addDecodeSample(5, 1000 + i);
        const StreamStatistics::Snapshot s = block.snapshot();
        EXPECT_EQ(s.meanWindow, 48);
        EXPECT_EQ(block.varWindow, 96);
        EXPECT_EQ(s.decodeAverage >= 0, c.average);
        EXPECT_EQ(s.frameSizeAverage >= 0, c.average);
        EXPECT_EQ(s.decodeDeviation >= 0, c.deviation);
        if (c.average) {
            EXPECT_DOUBLE_EQ(s.decodeAverage, 5);
        }
        if (c.deviation) {
            EXPECT_DOUBLE_EQ(s.decodeDeviation, 0);
        }
        EXPECT_EQ(s.maxFrameSize, 1000 + c.samples - 1);
    }
}

TEST(StreamStatisticsMath, ZeroMillisecondsCountAsOne) {
    StreamStatistics block;
    for (int i = 0; i < 6; ++i) {
        block.addDecodeSample(0, 10);
        block.addConversionTime(0);
    }
    const StreamStatistics::Snapshot s = block.snapshot();
    EXPECT_EQ(s.maxDecodeTime, 1);
    EXPECT_EQ(s.maxConversionTime, 1);
    EXPECT_DOUBLE_EQ(s.decodeAverage, 1);
    EXPECT_DOUBLE_EQ(s.conversionAverage, 1);
    block.addConversionTime(7);
    EXPECT_EQ(block.snapshot().maxConversionTime, 7);
}

TEST(StreamStatisticsMath, IntervalGridStaysAlignedToCreation) {
    StreamStatistics block;
    const std::int64_t t0 = block.intervalStart;
    struct Step {
        std::int64_t at;  // after t0
        std::int32_t count, last;
        std::int64_t start;  // after t0
    } steps[] = {
        {10, 1, 0, 0},       {500, 2, 0, 0},       {1000, 3, 0, 0},  // the edge still belongs
        {1001, 1, 3, 1000},  {1999, 2, 3, 1000},
        // Five seconds without frames: whole steps, and the last count is
        // still that of the interval before the pause.
        {7000, 1, 2, 6000},  {7001, 1, 1, 7000},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.at);
        block.countInInterval(t0 + step.at);
        EXPECT_EQ(block.intervalCount, step.count);
        EXPECT_EQ(block.lastIntervalCount, step.last);
        EXPECT_EQ(block.intervalStart, t0 + step.start);
    }
}

TEST(StreamStatisticsMath, ResetForgetsSamplesButKeepsCounts) {
    StreamStatistics block;
    for (int i = 0; i < 3; ++i) block.countFrame();
    block.countInInterval(block.intervalStart + 1);
    for (int i = 0; i < 10; ++i) {
        block.addDecodeSample(9, 5000);
        block.addConversionTime(4);
    }
    block.reset(30);
    const StreamStatistics::Snapshot s = block.snapshot();
    EXPECT_EQ(s.frameCount, 3);
    EXPECT_EQ(block.intervalCount, 1);
    EXPECT_EQ(s.meanWindow, 60);
    EXPECT_EQ(block.varWindow, 120);
    EXPECT_EQ(s.decodeAverage, -1);
    EXPECT_EQ(s.conversionAverage, -1);
    EXPECT_EQ(s.frameSizeDeviation, -1);
    EXPECT_EQ(s.maxDecodeTime, 0);
    EXPECT_EQ(s.maxConversionTime, 0);
    EXPECT_EQ(s.maxFrameSize, 0);
    EXPECT_EQ(block.decodeTime.min, RunningStatistic::NO_MINIMUM);
    EXPECT_EQ(block.conversionTime.meanWindow, 60);
    EXPECT_EQ(block.frameSize.varWindow, 120);
}

TEST(StreamStatisticsMath, UnusableFrameRateKeepsTheWindows) {
    LogCapture log("debug");
    for (int rate : {0, -5, 0x7fffffff}) {
        SCOPED_TRACE(rate);
        StreamStatistics block;
        block.reset(rate);
        EXPECT_EQ(block.meanWindow, 6);
        EXPECT_EQ(block.varWindow, 12);
        for (int i = 0; i < 20; ++i) block.addDecodeSample(i, 100);
        const StreamStatistics::Snapshot s = block.snapshot();
        EXPECT_TRUE(std::isfinite(s.decodeAverage));
        EXPECT_TRUE(std::isfinite(s.decodeDeviation));
        EXPECT_GE(s.decodeDeviation, 0);
    }
    EXPECT_TRUE(log.contains("StreamStatistics: Ignoring frame rate 0, keeping statistics windows 6/12"));
}

TEST(StreamStatisticsMath, ProgressWindowCoversTheFramesSinceTheLastLine) {
    StreamStatistics block;
    for (std::int64_t t : {5, 9, 7, 6, 8, 5}) block.addDecodeSample(t, 1);
    StreamStatistics::DecodeTimeWindow first = block.takeDecodeTimeWindow();
    EXPECT_EQ(first.min, 5);
    EXPECT_EQ(first.max, 9);
    EXPECT_NEAR(first.average, 40.0 / 6, 1e-9);
    block.addDecodeSample(3, 1);
    block.addDecodeSample(4, 1);
    StreamStatistics::DecodeTimeWindow second = block.takeDecodeTimeWindow();
    EXPECT_EQ(second.min, 3);
    EXPECT_EQ(second.max, 4);
    // The block's own maximum is not the progress line's.
    EXPECT_EQ(block.snapshot().maxDecodeTime, 9);
}

TEST(StreamStatisticsMath, ReportIntervalBelowOneFallsBackToTheDefault) {
    LogCapture log("debug");
    struct Case {
        int counter, interval;
        bool due;
    } cases[] = {{4, 2, true}, {5, 2, false}, {3, 1, true}, {6, 0, true}, {5, 0, false},
                 {12, -3, true}, {7, -3, false}, {0, 6, true}};
    for (const Case& c : cases) {
        EXPECT_EQ(StreamStatistics::reportDue(c.counter, c.interval), c.due) << c.counter << " / " << c.interval;
    }
    EXPECT_EQ(log.count("Illegal value '0' for config setting Client.Debug.ReportInterval.  Using default value '6'"), 1);
    EXPECT_EQ(log.count("Client.Debug.ReportInterval"), 1);
}
