// What a server connection needs of USB forwarding. That subsystem installs
// its functions here at start-up, before the NativeClient thread starts; an
// empty entry means the service is not present, and the connection goes on
// without it.
#pragma once

#include <functional>

class QorMessage;

namespace qor {

class NativeClientServerProxy;

struct ProxyServiceHooks {
    // USB forwarding sends its messages through the registered proxy.
    std::function<void(NativeClientServerProxy*)> registerServerProxy;
    std::function<void()> unregisterServerProxy;
    // True when a compatible vhproxy helper runs.
    std::function<bool()> ensureVHProxyProcess;
    std::function<void()> launchVHProxy;
    std::function<bool(const QorMessage&)> handleVHRequest;
    // Tells USB forwarding that the USB tunnel is up.
    std::function<void()> signalTunnelStarted;
    std::function<void()> stopUsbSupport;
};

// The process-wide hooks; written during start-up, read afterwards.
ProxyServiceHooks& proxyServiceHooks();

// Running number of the USB tunnels ("VHTun-" and the number).
int nextVhTunnelNumber();

} // namespace qor
