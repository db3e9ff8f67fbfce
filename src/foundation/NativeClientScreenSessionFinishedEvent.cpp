#include "NativeClientScreenSessionFinishedEvent.h"

#include <utility>

namespace qor {

NativeClientScreenSessionFinishedEvent::NativeClientScreenSessionFinishedEvent(std::string why, std::int32_t screenIndex)
    : NativeClientBaseEvent(SCREEN_SESSION_FINISHED), reason(std::move(why)), screen(screenIndex) {}

} // namespace qor
