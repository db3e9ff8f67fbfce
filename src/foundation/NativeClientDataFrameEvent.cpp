#include "NativeClientDataFrameEvent.h"

#include <utility>

namespace qor {

NativeClientDataFrameEvent::NativeClientDataFrameEvent(std::string json, std::string description, bool logSend)
    : NativeClientBaseEvent(CTRL_FRAME), text(std::move(json)), label(std::move(description)), verbose(logSend) {}

} // namespace qor
