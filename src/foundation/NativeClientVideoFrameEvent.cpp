#include "NativeClientVideoFrameEvent.h"

#include <utility>

namespace qor {

NativeClientVideoFrameEvent::NativeClientVideoFrameEvent(Buffer buffer, std::int32_t bytes)
    : NativeClientBaseEvent(VIDEO_FRAME), data(std::move(buffer)), length(bytes) {}

} // namespace qor
