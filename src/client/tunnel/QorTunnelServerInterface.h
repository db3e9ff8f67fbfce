// The server side of a tunnel (type 0): the peer asks for connections with
// OPEN, and the tunnel thread connects each one to 127.0.0.1:servicePort.
#pragma once

#include "QorTunnelInterface.h"

namespace qor {

class QorTunnelServerInterface : public QorTunnelInterface {
public:
    // Takes ownership of the WebSocket and starts the tunnel thread.
    QorTunnelServerInterface(std::string clientId, std::string name, int servicePort, QorWebSocket* webSocket);
    ~QorTunnelServerInterface() override;
};

} // namespace qor
