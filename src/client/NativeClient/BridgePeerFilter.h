// Screens each connection to the js-bridge in the server's acceptor thread,
// before a server thread is taken: only a process of the client's own user
// may talk to the bridge (the page's browser runs as that user). Another
// user's connection, one whose peer has already gone and one whose owner
// cannot be told are closed at once.
//
// Another user can open connections as fast as the bridge refuses them: a
// line for each would push the useful lines out of the rotated log. The
// first refusal of a user is logged, the further ones are counted and
// summed up once a minute has passed (at the next connection) or when the
// bridge stops.
#pragma once

#include "PeerRefusalReport.h"
#include "TcpPeerIdentity.h"

#include <Poco/AutoPtr.h>
#include <Poco/Net/TCPServer.h>

namespace qor {

class BridgePeerFilter : public Poco::Net::TCPServerConnectionFilter {
public:
    using Ptr = Poco::AutoPtr<BridgePeerFilter>;

    explicit BridgePeerFilter(ShortageReport::Clock::duration summaryPeriod = std::chrono::minutes(1));

    bool accept(const Poco::Net::StreamSocket& socket) override;
    // Logs the refusals counted and not told yet (the bridge stops).
    void reportRefusals();

private:
    // Sums up the refusals of each user whose period is over; with all,
    // every user's, over or not.
    void summarise(bool all);

    PeerRefusalReport refusals_;
};

// Platform part: whether the peer's socket belongs to this process's user.
bool isOwnUser(const TcpPeerIdentity& peer);

} // namespace qor
