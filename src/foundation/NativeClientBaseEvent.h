// Events of the client: the common base with the event code on which every
// consumer dispatches, and the payload holder for the events that carry
// memory of their own (video buffers, decoded frames, sockets).
#pragma once

#include "BaseEvent.h"

#include <cstdint>
#include <memory>
#include <string>

namespace qor {

// A payload that an event owns until its consumer takes it over. The poster
// supplies the function that frees it, so an event that dies before anyone
// took its payload (refused by a full queue, still queued when the receiving
// thread goes away) gives the payload back the way it was obtained: a pooled
// buffer or frame goes back to its pool, a plain one is deleted.
// The release function must not be null while the holder holds a payload.
template <typename T>
using EventPayload = std::unique_ptr<T, void (*)(T*)>;

class NativeClientBaseEvent : public BaseEvent {
public:
    // Event codes; type() returns one of them.
    enum Code : int {
        VIDEO_FRAME = 0,
        DECODED_VIDEO_FRAME = 1,
        DECODER_OUT_OF_SYNC = 2,
        CTRL_FRAME = 3,
        ERROR_DETECTED = 4,
        SOCKET_FAILED = 5,
        WEB_SOCKET_CONNECTED = 6,
        SERVER_DISCONNECT_MSG = 7,
        SCREEN_SESSION_FINISHED = 8,
        SERVER_SESSION_FINISHED = 9,
        SCREEN_CLOSED = 10,
    };

    // The name of an event code as the log shows it.
    static std::string codeName(int code);

    std::string name() const override;
    int type() const override { return code; }

    const std::int32_t code;

protected:
    explicit NativeClientBaseEvent(std::int32_t eventCode) : code(eventCode) {}
    ~NativeClientBaseEvent() override = default;
};

} // namespace qor
