// The client side of a tunnel (type 1): a listener on 127.0.0.1:listenPort
// whose connections are announced to the peer with OPEN. When the port
// cannot be bound, the object is built stopped (state 4, WebSocket closed,
// no thread), and the owner removes it as a collapsed tunnel.
#pragma once

#include "QorTunnelInterface.h"

#include <memory>

namespace qor {

class QorTunnelClientListener;

class QorTunnelClientInterface : public QorTunnelInterface {
public:
    // Takes ownership of the WebSocket; starts the tunnel thread, then the
    // listener thread. A failure to listen (after a successful bind) is
    // raised, and the WebSocket is released with the partly built object.
    QorTunnelClientInterface(std::string clientId, std::string name, int listenPort, QorWebSocket* webSocket);
    // Deletes the listener (its thread joined) before the tunnel part goes.
    ~QorTunnelClientInterface() override;

private:
    std::unique_ptr<QorTunnelClientListener> listener_;
};

} // namespace qor
