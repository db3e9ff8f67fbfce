// The page's js-bridge WebSocket, upgraded and handed to NativeClient.
#pragma once

#include "NativeClientBaseEvent.h"

namespace qor {

class QorWebSocket;

class NativeClientWebSocketEvent final : public NativeClientBaseEvent {
public:
    // Deletes the socket when nobody took it.
    using Socket = EventPayload<QorWebSocket>;

    NativeClientWebSocketEvent(Socket socket, std::string clientId);

    // Hands the socket to the consumer, which owns it from then on.
    Socket takeSocket() { return std::move(socket); }

    Socket socket;
    std::string clientId;

private:
    ~NativeClientWebSocketEvent() override = default;
};

} // namespace qor
