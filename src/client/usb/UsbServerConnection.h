// A server connection as USB forwarding sees it: the two ways its messages
// leave the client. The server proxy of the connection implements it and
// registers itself with the USB support while it lives, so that the USB
// support does not depend on the connection's own code.
#pragma once

#include <string>

namespace qor {

class UsbServerConnection {
public:
    virtual ~UsbServerConnection() = default;

    // A message for the server, queued for the control WebSocket; any
    // thread, never blocks on the network.
    virtual void sendCtrl(const std::string& json, const std::string& label, bool verbose) = 0;
    // A message for the page, written to the bridge WebSocket; false when
    // nothing was sent.
    virtual bool updateWebClient(const std::string& text, bool verbose) = 0;
    // The connection's USB tunnel to the server is up (the daemon was told
    // so when it was set up); any thread.
    virtual bool usbTunnelUp() const = 0;
    // The connection is still to set up its USB tunnel: the server's client
    // id has not come, or the tunnel is being set up; any thread.
    virtual bool usbTunnelComing() const = 0;
};

} // namespace qor
