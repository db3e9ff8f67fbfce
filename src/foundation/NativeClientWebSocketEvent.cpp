#include "NativeClientWebSocketEvent.h"

#include <utility>

namespace qor {

NativeClientWebSocketEvent::NativeClientWebSocketEvent(Socket webSocket, std::string id)
    : NativeClientBaseEvent(WEB_SOCKET_CONNECTED), socket(std::move(webSocket)), clientId(std::move(id)) {}

} // namespace qor
