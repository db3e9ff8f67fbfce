// The Linux side of the link: the daemon's program name and the check of
// the listener's owner in the kernel's socket table. The service runs as
// root; a listener of any other user is a process that took the port
// while the daemon was down, and is not spoken to.
#include "VHProxyLink.h"

#include "TcpSocketOwner.h"
#include "VHLog.h"

#include <Poco/Exception.h>

std::string vhProxyProgramName() { return "vhproxy"; }

bool isTrustedVHProxyListener(const Poco::Net::StreamSocket& socket) {
    const std::string endpoint = std::string(vhProxyHost) + ":" + std::to_string(vhProxyPort);
    unsigned int owner = 0;
    bool found = false;
    try {
        found = tcpSocketOwner(socket.peerAddress(), socket.address(), owner);
    } catch (const Poco::Exception&) {
        found = false;
    }
    if (!found) {
        vhError("vhProxySupport: Can't tell who listens on " + endpoint + ", not using it");
        return false;
    }
    if (owner != 0) {
        vhError("vhProxySupport: The listener on " + endpoint + " belongs to user " + std::to_string(owner) +
                ", not to the vhproxy service; not using it");
        return false;
    }
    return true;
}
