// A control message, already written as JSON text, for the sender thread.
#pragma once

#include "NativeClientBaseEvent.h"

namespace qor {

class NativeClientDataFrameEvent final : public NativeClientBaseEvent {
public:
    // label describes the message in the log; verbose logs a successful send.
    NativeClientDataFrameEvent(std::string text, std::string label, bool verbose);

    std::string text;
    std::string label;
    bool verbose;

private:
    ~NativeClientDataFrameEvent() override = default;
};

} // namespace qor
