// Makes and destroys AvVideoFrames. Stateless: frames are made and released
// on any thread without a lock.
#pragma once

#include "VideoFrame.h"

namespace qor {

class AVFrameAllocator : public VideoFrameAllocator {
public:
    VideoFrame* newFrame(int colorFormat) override;
    // Frees the image the frame owns, or drops its references to the
    // decoder's buffers, then the FFmpeg frame and the frame itself.
    void release(VideoFrame** frame) override;
    VideoFrame* allocate(int colorFormat, int width, int height) override;
};

} // namespace qor

extern qor::AVFrameAllocator avFrameAllocator;
