#include "NativeClientJSONDataFrameEvent.h"

#include <utility>

namespace qor {

NativeClientJSONDataFrameEvent::NativeClientJSONDataFrameEvent(QorMessage msg, std::string description)
    : NativeClientBaseEvent(CTRL_FRAME), message(std::move(msg)), label(std::move(description)) {}

} // namespace qor
