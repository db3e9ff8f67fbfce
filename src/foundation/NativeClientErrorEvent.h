// A failure reported to the thread that owns the failing part.
#pragma once

#include "NativeClientBaseEvent.h"

namespace qor {

class NativeClientErrorEvent : public NativeClientBaseEvent {
public:
    // screen -1 means the whole server connection.
    NativeClientErrorEvent(std::string message, std::int32_t errorCode, std::int32_t screen);

    std::string message;
    std::int32_t errorCode;
    std::int32_t screen;

protected:
    NativeClientErrorEvent(std::int32_t eventCode, std::string message, std::int32_t errorCode, std::int32_t screen);
    ~NativeClientErrorEvent() override = default;
};

} // namespace qor
