// One decoded frame for a decoder's colour-conversion thread.
#pragma once

#include "NativeClientBaseEvent.h"

namespace qor {

class VideoFrame;

class NativeClientDecodedVideoFrameEvent final : public NativeClientBaseEvent {
public:
    // Released through the frame's allocator when nobody took it.
    using Frame = EventPayload<VideoFrame>;

    explicit NativeClientDecodedVideoFrameEvent(Frame frame);

    // Hands the frame to the consumer, which gives it back to its pool.
    Frame takeFrame() { return std::move(frame); }

    Frame frame;

private:
    ~NativeClientDecodedVideoFrameEvent() override = default;
};

} // namespace qor
