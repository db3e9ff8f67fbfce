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

BridgePeerFilter::BridgePeerFilter(ShortageReport::Clock::duration summaryPeriod) : summaryPeriod_(summaryPeriod) {}

bool BridgePeerFilter::accept(const Poco::Net::StreamSocket& socket) {
    TcpPeerIdentity peer;
    std::string reason;
    const TcpPeerLookup lookup = tcpConnectingPeer(socket, peer, reason);
    {
        std::lock_guard<std::mutex> guard(lock_);
        summarise(false);
    }
    if (lookup == TcpPeerLookup::Found && isOwnUser(peer)) return true;

    const std::string refused = "JsBridge: Refused a connection from " + peerText(socket);
    switch (lookup) {
    case TcpPeerLookup::Found: {
        std::lock_guard<std::mutex> guard(lock_);
        if (refusals_.try_emplace(peer.userId, summaryPeriod_).first->second.met())
            logWarning(refused + " of user " + std::to_string(peer.userId) +
                       ": only the client's own user may connect");
        break;
    }
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

void BridgePeerFilter::reportRefusals() {
    std::lock_guard<std::mutex> guard(lock_);
    summarise(true);
}

void BridgePeerFilter::summarise(bool all) {
    for (auto& [userId, report] : refusals_) {
        std::uint64_t times = 0;
        if (!(all ? report.over(times) : report.lapsed(times)) || times < 2) continue;
        const auto seconds =
            std::chrono::duration_cast<std::chrono::seconds>(ShortageReport::Clock::now() - report.toldAt()).count();
        logWarning("JsBridge: Refused " + std::to_string(times - 1) + " more connections of user " +
                   std::to_string(userId) + " in the last " + std::to_string(seconds) + " s");
    }
}

} // namespace qor
