#include "QorTunnelServerInterface.h"

#include "TunnelLog.h"

namespace qor {

QorTunnelServerInterface::QorTunnelServerInterface(std::string clientId, std::string name, int servicePort,
                                                   QorWebSocket* webSocket)
    : QorTunnelInterface(std::move(clientId), std::move(name), 1, servicePort, webSocket) {
    tunnelDebug(QorThread::name() + ": Created QorTunnelServerInterface");
    start(-1);
}

QorTunnelServerInterface::~QorTunnelServerInterface() {
    tunnelDebug(QorThread::name() + ": Deleted QorTunnelServerInterface");
    finishThread();
}

} // namespace qor
