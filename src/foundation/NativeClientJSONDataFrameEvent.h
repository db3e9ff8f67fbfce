// A received control message, shared with the thread that handles it.
#pragma once

#include "NativeClientBaseEvent.h"
#include "QorMessage.h"

namespace qor {

class NativeClientJSONDataFrameEvent final : public NativeClientBaseEvent {
public:
    NativeClientJSONDataFrameEvent(QorMessage message, std::string label);

    QorMessage message;
    std::string label;

private:
    ~NativeClientJSONDataFrameEvent() override = default;
};

} // namespace qor
