#include "BridgePeerFilter.h"

#include "Logging.h"

#include <Poco/Exception.h>

#include <string>

namespace qor {

namespace {

std::string peerText(const Poco::Net::StreamSocket& socket) {
    try {
        return socket.peerAddress().toString();
    } catch (Poco::Exception&) {
        return "a closed socket";
    }
}

} // namespace

BridgePeerFilter::BridgePeerFilter(ShortageReport::Clock::duration summaryPeriod) : refusals_(summaryPeriod) {}

bool BridgePeerFilter::accept(const Poco::Net::StreamSocket& socket) {
    TcpPeerIdentity peer;
    std::string reason;
    const TcpPeerLookup lookup = tcpConnectingPeer(socket, peer, reason);
    summarise(false);
    if (lookup == TcpPeerLookup::Found && isOwnUser(peer)) return true;

    const std::string refused = "JsBridge: Refused a connection from " + peerText(socket);
    switch (lookup) {
    case TcpPeerLookup::Found:
        if (refusals_.refused(peer.userId))
            logWarning(refused + " of user " + std::to_string(peer.userId) +
                       ": only the client's own user may connect");
        break;
    case TcpPeerLookup::Gone:
        // Closed before it was accepted: nothing to answer.
        if (isDebugEnabled()) logDebug(refused + ": " + reason);
        break;
    case TcpPeerLookup::Failed:
        logError(refused + ": its user cannot be told, " + reason);
        break;
    }
    return false;
}

void BridgePeerFilter::reportRefusals() { summarise(true); }

void BridgePeerFilter::summarise(bool all) {
    for (const PeerRefusalReport::Summary& summary : refusals_.summaries(all))
        logWarning("JsBridge: Refused " + summary.text());
}

} // namespace qor
