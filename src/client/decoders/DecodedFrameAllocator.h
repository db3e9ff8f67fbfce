// The process-wide pool of DecodedVideoFrames. Released frames keep their
// buffers and are handed out again for the same colour format, so steady
// decoding allocates nothing. Frames are never freed while the client runs.
#pragma once

#include "VideoFrame.h"

namespace qor {

class DecodedVideoFrame;

class DecodedFrameAllocator : public VideoFrameAllocator {
public:
    VideoFrame* newFrame(int colorFormat) override;
    void release(VideoFrame** frame) override;
    // The most recently released frame of that format (or a new one), sized,
    // line sizes computed and planes grown; contents not cleared. Null when
    // the planes cannot be grown (the frame then goes back to the pool).
    VideoFrame* allocate(int colorFormat, int width, int height) override;

    // Number of frames in the pool, and its head (for diagnostics).
    static int pooledFrames();
    static VideoFrame* poolHead();
};

} // namespace qor

extern qor::DecodedFrameAllocator decodedFrameAllocator;
