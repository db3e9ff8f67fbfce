#include "NativeClientScreenClosedEvent.h"

namespace qor {

NativeClientScreenClosedEvent::NativeClientScreenClosedEvent(std::int32_t screenIndex)
    : NativeClientBaseEvent(SCREEN_CLOSED), screen(screenIndex) {}

} // namespace qor
