#include "DecodedFrameAllocator.h"

#include "DecodedVideoFrame.h"
#include "OwnerLock.h"

namespace {
OwnerLock framePoolLock;
// Released frames of every colour format, most recently released first.
qor::VideoFrame* freeFrames = nullptr;
} // namespace

qor::DecodedFrameAllocator decodedFrameAllocator;

namespace qor {

VideoFrame* DecodedFrameAllocator::newFrame(int colorFormat) {
    return new DecodedVideoFrame(this, colorFormat);
}

void DecodedFrameAllocator::release(VideoFrame** frame) {
    if (frame == nullptr || *frame == nullptr) return;
    ScopedOwnerLock guard(framePoolLock);
    (*frame)->nextFree = freeFrames;
    freeFrames = *frame;
    *frame = nullptr;
}

VideoFrame* DecodedFrameAllocator::allocate(int colorFormat, int width, int height) {
    DecodedVideoFrame* frame = nullptr;
    {
        ScopedOwnerLock guard(framePoolLock);
        for (VideoFrame** link = &freeFrames; *link != nullptr; link = &(*link)->nextFree) {
            if ((*link)->colorFormat() == colorFormat) {
                frame = static_cast<DecodedVideoFrame*>(*link);
                *link = frame->nextFree;
                frame->nextFree = nullptr;
                break;
            }
        }
    }
    if (frame == nullptr) frame = new DecodedVideoFrame(this, colorFormat);
    frame->setWidth(width);
    frame->setHeight(height);
    frame->computeLineSizes();
    if (!frame->growToLayout()) {
        VideoFrame* failed = frame;
        release(&failed);
        return nullptr;
    }
    return frame;
}

int DecodedFrameAllocator::pooledFrames() {
    ScopedOwnerLock guard(framePoolLock);
    int count = 0;
    for (VideoFrame* frame = freeFrames; frame != nullptr; frame = frame->nextFree) ++count;
    return count;
}

VideoFrame* DecodedFrameAllocator::poolHead() {
    ScopedOwnerLock guard(framePoolLock);
    return freeFrames;
}

} // namespace qor
