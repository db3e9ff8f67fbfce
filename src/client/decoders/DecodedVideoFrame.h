// A frame that owns its three plane buffers; pooled by DecodedFrameAllocator.
// Its lines are tight: plane k holds lineSize(k) x planeLines(k) bytes, the
// layout the canvas draws without a copy.
#pragma once

#include "VideoFrame.h"

namespace qor {

class DecodedVideoFrame : public VideoFrame {
public:
    DecodedVideoFrame(VideoFrameAllocator* owner, int colorFormat);
    ~DecodedVideoFrame() override;
    DecodedVideoFrame(const DecodedVideoFrame&) = delete;
    DecodedVideoFrame& operator=(const DecodedVideoFrame&) = delete;

    std::uint8_t* plane(int index) const override { return planes_[index]; }
    int width() const override { return width_; }
    int height() const override { return height_; }
    int lineSize(int index) const override { return lineSizes_[index]; }
    int colorFormat() const override { return colorFormat_; }
    int rowsPerLine(int index) const override;

    std::uint8_t** planePointer(int index) { return &planes_[index]; }
    int planeCapacity(int index) const { return capacities_[index]; }
    int* planeCapacityPointer(int index) { return &capacities_[index]; }
    void setWidth(int width) { width_ = width; }
    void setHeight(int height) { height_ = height; }
    int* widthPointer() { return &width_; }
    int* heightPointer() { return &height_; }
    void setColorFormat(int colorFormat) { colorFormat_ = colorFormat; }

    // Line sizes from width and colour format; other formats keep theirs.
    void computeLineSizes();
    // Bytes plane k needs at the current size and line sizes.
    int planeBytes(int index) const;
    // Makes plane k hold at least size k bytes (planes 1 and 2 only when
    // their size is not 0); buffers get 32 bytes of slack and never shrink.
    // False when memory could not be had: the failed plane keeps its old
    // buffer and capacity.
    bool growPlanes(int size0, int size1, int size2);
    // Grows every plane to planeBytes.
    bool growToLayout();

    // Turns this frame into a canonical copy of the source. False (logged)
    // for a colour format it cannot copy or when memory is short.
    bool copyFrom(const VideoFrame& source);

private:
    bool copyPlanesFrom(const VideoFrame& source, int planeCount);

    std::uint8_t* planes_[3] = {nullptr, nullptr, nullptr};
    int lineSizes_[3] = {0, 0, 0};
    int width_ = 0;
    int height_ = 0;
    int colorFormat_ = 0;
    int capacities_[3] = {0, 0, 0};
};

} // namespace qor
