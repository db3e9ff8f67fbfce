// The memory-copy part of the quick OpenGL test: copies the three planes of
// a 4K and of an 8K YUV 4:2:0 picture back to back, ten times each, and logs
// the moving average and the extremes of the copy times.
#pragma once

class MemoryCopyTest {
public:
    static void run();
};
