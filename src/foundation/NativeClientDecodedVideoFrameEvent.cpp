#include "NativeClientDecodedVideoFrameEvent.h"

#include <utility>

namespace qor {

NativeClientDecodedVideoFrameEvent::NativeClientDecodedVideoFrameEvent(Frame decoded)
    : NativeClientBaseEvent(DECODED_VIDEO_FRAME), frame(std::move(decoded)) {}

} // namespace qor
