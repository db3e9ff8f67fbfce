// A frame over an FFmpeg picture (AVFrame): the decoder's own buffers, or an
// RGB24 image the converter allocated. Made for one picture and destroyed
// when released.
#pragma once

#include "VideoFrame.h"

struct AVFrame;

namespace qor {

class AvVideoFrame : public VideoFrame {
public:
    explicit AvVideoFrame(VideoFrameAllocator* owner);
    ~AvVideoFrame() override;
    AvVideoFrame(const AvVideoFrame&) = delete;
    AvVideoFrame& operator=(const AvVideoFrame&) = delete;

    std::uint8_t* plane(int index) const override;
    int width() const override;
    int height() const override;
    int lineSize(int index) const override;
    int colorFormat() const override;
    int rowsPerLine(int index) const override;
    int planeRowBytes(int index) const override;

    // The FFmpeg pixel format (AVPixelFormat), -1 without a picture.
    int pixelFormat() const;

    AVFrame* avFrame = nullptr;
    bool ownsImage = false;
};

} // namespace qor
