#include "NativeClientErrorEvent.h"

#include <utility>

namespace qor {

NativeClientErrorEvent::NativeClientErrorEvent(std::string text, std::int32_t error, std::int32_t screenIndex)
    : NativeClientErrorEvent(ERROR_DETECTED, std::move(text), error, screenIndex) {}

NativeClientErrorEvent::NativeClientErrorEvent(std::int32_t eventCode, std::string text, std::int32_t error,
                                               std::int32_t screenIndex)
    : NativeClientBaseEvent(eventCode), message(std::move(text)), errorCode(error), screen(screenIndex) {}

} // namespace qor
