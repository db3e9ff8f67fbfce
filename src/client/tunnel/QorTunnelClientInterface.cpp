#include "QorTunnelClientInterface.h"

#include "QorTunnelClientListener.h"
#include "QorWebSocket.h"
#include "TunnelLog.h"

namespace qor {

QorTunnelClientInterface::QorTunnelClientInterface(std::string clientId, std::string name, int listenPort,
                                                   QorWebSocket* webSocket)
    : QorTunnelInterface(std::move(clientId), std::move(name), 0, listenPort, webSocket) {
    const std::string tunnelName = QorThread::name();
    listener_.reset(new QorTunnelClientListener(tunnelName + " (Listen)", this, listenPort));
    if (listener_->hasSocket()) {
        // The tunnel thread first: a connection accepted at once must find
        // it starting, or it would be refused.
        start(-1);
        listener_->start(-1);
        return;
    }
    tunnelLog(TunnelLogLevel::ERROR, tunnelName + ": Couldn't start listener thread, port blocked ?");
    try {
        this->webSocket()->close(false);
    } catch (...) {
        // Closed all the same.
    }
    requestStop();
}

QorTunnelClientInterface::~QorTunnelClientInterface() {
    tunnelDebug("Deleting QorTunnelClientInterface " + QorThread::name());
    listener_.reset();
    finishThread();
}

} // namespace qor
