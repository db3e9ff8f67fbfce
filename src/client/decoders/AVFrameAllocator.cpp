#include "AVFrameAllocator.h"

#include "AvVideoFrame.h"
#include "DecoderLog.h"
#include "FfmpegLoader.h"

qor::AVFrameAllocator avFrameAllocator;

namespace qor {

VideoFrame* AVFrameAllocator::newFrame(int colorFormat) {
    return allocate(colorFormat, 0, 0);
}

VideoFrame* AVFrameAllocator::allocate(int, int width, int height) {
    auto* frame = new AvVideoFrame(this);
    frame->avFrame = ffmpegApi.av_frame_alloc != nullptr ? ffmpegApi.av_frame_alloc() : nullptr;
    if (frame->avFrame == nullptr) {
        decoderError("AVFrameAllocator: Could not allocate video frame");
        delete frame;
        return nullptr;
    }
    frame->avFrame->width = width;
    frame->avFrame->height = height;
    return frame;
}

void AVFrameAllocator::release(VideoFrame** frame) {
    if (frame == nullptr || *frame == nullptr) return;
    auto* avFrame = static_cast<AvVideoFrame*>(*frame);
    if (avFrame->avFrame != nullptr) {
        if (avFrame->ownsImage) {
            ffmpegApi.av_freep(&avFrame->avFrame->data[0]);
        } else {
            ffmpegApi.av_frame_unref(avFrame->avFrame);
        }
        ffmpegApi.av_frame_free(&avFrame->avFrame);
        avFrame->avFrame = nullptr;
    }
    delete avFrame;
    *frame = nullptr;
}

} // namespace qor
