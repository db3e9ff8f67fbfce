// Frames for the canvas tests: pictures given as an RGB function are laid
// out in any colour format the canvas draws, with tight or padded lines, by
// an allocator that counts the frames it has out.
#pragma once

#include "VideoFrame.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

struct Rgb {
    int r, g, b;
};

using Picture = std::function<Rgb(int x, int y)>;

class TestFrame : public qor::VideoFrame {
public:
    TestFrame(qor::VideoFrameAllocator* owner, int colorFormat, int width, int height, int padding);

    std::uint8_t* plane(int index) const override;
    int width() const override { return width_; }
    int height() const override { return height_; }
    int lineSize(int index) const override { return lineSizes_[index]; }
    int colorFormat() const override { return colorFormat_; }
    int rowsPerLine(int index) const override;

    // Bytes of plane k (lines x line size): reading past it is a fault.
    std::size_t planeSize(int index) const { return planes_[index].size(); }
    void fill(const Picture& picture);

private:
    int colorFormat_;
    int width_;
    int height_;
    int lineSizes_[3] = {0, 0, 0};
    mutable std::vector<std::uint8_t> planes_[3];
};

class CountingAllocator : public qor::VideoFrameAllocator {
public:
    qor::VideoFrame* newFrame(int colorFormat) override;
    void release(qor::VideoFrame** frame) override;
    qor::VideoFrame* allocate(int colorFormat, int width, int height) override;

    // A frame of the picture with `padding` extra bytes at the end of each line.
    TestFrame* make(int colorFormat, int width, int height, const Picture& picture, int padding = 0);

    std::atomic<int> outstanding{0};
    std::atomic<int> released{0};
};

// BT.601 limited range, as the canvas programs undo it.
void rgbToYuv(const Rgb& rgb, int& y, int& u, int& v);
