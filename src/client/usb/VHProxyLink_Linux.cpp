// The Linux side of the link: the daemon's program name and the check of
// the listener's owner, asked of the kernel for this one connection. The
// service runs as root; a listener of any other user is a process that
// took the port while the daemon was down (or a daemon that user started
// by hand), and is not spoken to. That is said once while the same user
// holds the port, not at every poll tick.
#include "VHProxyLink.h"

#include "TcpPeerIdentity.h"
#include "VHLog.h"
#include "VHProxyReachability.h"

std::string vhProxyProgramName() { return "vhproxy"; }

bool isTrustedVHProxyListener(const Poco::Net::StreamSocket& socket) {
    const std::string endpoint = std::string(vhProxyHost) + ":" + std::to_string(vhProxyPort);
    TcpPeerIdentity listener;
    std::string reason;
    if (tcpAcceptingPeer(socket, listener, reason) != TcpPeerLookup::Found) {
        vhError("vhProxySupport: Can't tell who listens on " + endpoint + " (" + reason + "), not using it");
        return false;
    }
    if (listener.userId != 0) {
        vhLogIfNews(vhProxyReachability.portHeld(listener.userId), vhError,
                    "vhProxySupport: The listener on " + endpoint + " belongs to user " +
                        std::to_string(listener.userId) + ", not to the vhproxy service; not using it");
        return false;
    }
    return true;
}
