// Screens each connection to the js-bridge in the server's acceptor thread,
// before a server thread is taken: only a process of the client's own user
// may talk to the bridge (the page's browser runs as that user). Another
// user's connection, one whose peer has already gone and one whose owner
// cannot be told are closed at once.
#pragma once

#include "TcpPeerIdentity.h"

#include <Poco/Net/TCPServer.h>

namespace qor {

class BridgePeerFilter : public Poco::Net::TCPServerConnectionFilter {
public:
    bool accept(const Poco::Net::StreamSocket& socket) override;
};

// Platform part: whether the peer's socket belongs to this process's user.
bool isOwnUser(const TcpPeerIdentity& peer);

} // namespace qor
