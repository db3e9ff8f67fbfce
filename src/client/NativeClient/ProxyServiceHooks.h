// What a server connection needs of USB forwarding and the port tunnels.
// Those subsystems install their functions here at start-up, before the
// NativeClient thread starts; an empty entry means the service is not
// present, and the connection goes on without it.
#pragma once

#include <functional>
#include <string>

class QorMessage;

namespace qor {

class NativeClientServerProxy;
class QorThread;
class QorWebSocket;

struct ProxyServiceHooks {
    // USB forwarding sends its messages through the registered proxy.
    std::function<void(NativeClientServerProxy*)> registerServerProxy;
    std::function<void()> unregisterServerProxy;
    // True when a compatible vhproxy helper runs.
    std::function<bool()> ensureVHProxyProcess;
    std::function<void()> launchVHProxy;
    std::function<bool(const QorMessage&)> handleVHRequest;
    std::function<void()> signalTunnelStarted;
    std::function<void()> stopUsbSupport;

    // Creates a running tunnel of type 0 (server side: connects to
    // 127.0.0.1:port for each peer connection) or 1 (client side: listens on
    // 127.0.0.1:port). The tunnel owns the socket; deleting it stops it.
    std::function<QorThread*(int type, const std::string& clientId, const std::string& name, int port,
                             QorWebSocket* socket)>
        createTunnel;
    // Builds the path of a tunnel WebSocket (begins with "/ws/tunnel/").
    std::function<std::string(const std::string& clientId, int type, const std::string& name, int portB,
                              int portC)>
        buildTunnelPath;
};

// The process-wide hooks; written during start-up, read afterwards.
ProxyServiceHooks& proxyServiceHooks();

// Running number of the USB tunnels ("VHTun-" and the number).
int nextVhTunnelNumber();

} // namespace qor
