#include "FrameSlots.h"

#include "DecodedFrameAllocator.h"
#include "DecodedVideoFrame.h"
#include "TextureUpload.h"
#include "VideoFrame.h"

void FrameSlots::present(qor::VideoFrame* frame) {
    if (frame == nullptr) return;
    qor::VideoFrame* source = nullptr;
    if (!TextureUpload::drawableAsIs(*frame)) {
        qor::VideoFrame* copy = decodedFrameAllocator.allocate(frame->colorFormat(), frame->width(), frame->height());
        if (copy == nullptr || !static_cast<qor::DecodedVideoFrame*>(copy)->copyFrom(*frame)) {
            // A copy that could not be filled would show garbage: drop it.
            qor::releaseVideoFrame(&copy);
            qor::releaseVideoFrame(&frame);
            return;
        }
        source = frame;
        frame = copy;
    }
    qor::VideoFrame* old = nullptr;
    {
        std::lock_guard<std::mutex> presenting(presentLock);
        const int slot = writeIndex.load();
        ScopedOwnerLock guard(slotLocks[slot]);
        old = frameSlots[slot];
        frameSlots[slot] = frame;
        serials[slot] = ++lastSerial;
        if (frame->width() != frameWidth || frame->height() != frameHeight) {
            frameWidth = frame->width();
            frameHeight = frame->height();
        }
        writeIndex = 1 - slot;
    }
    ++presentedCount;
    newFrame = true;
    qor::releaseVideoFrame(&old);
    qor::releaseVideoFrame(&source);
}

void FrameSlots::release() {
    for (int slot = 0; slot < 2; ++slot) {
        qor::VideoFrame* frame = nullptr;
        {
            ScopedOwnerLock guard(slotLocks[slot]);
            frame = frameSlots[slot];
            frameSlots[slot] = nullptr;
            serials[slot] = 0;
        }
        qor::releaseVideoFrame(&frame);
    }
}

void FrameSlots::forgetSize() {
    frameWidth = 0;
    frameHeight = 0;
}

FrameSlots::Newest::Newest(FrameSlots& owner)
    : slot(1 - owner.writeIndex.load()), guard(owner.slotLocks[slot]) {
    frame = owner.frameSlots[slot];
    serial = owner.serials[slot];
}
