#include "VHProxyConnection.h"

#include "VHProxyDaemon.h"

#include "TcpPeerIdentity.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>

#include <sys/socket.h>

#include <cstdint>

VHProxyConnection::VHProxyConnection(const Poco::Net::StreamSocket& socket, VHProxyDaemon& daemon,
                                     std::string request)
    : Poco::Net::TCPServerConnection(socket), daemon_(daemon), request_(std::move(request)) {}

void VHProxyConnection::run() {
    TcpPeerIdentity peer;
    std::string reason;
    std::string peerName = "a connection";
    TcpPeerLookup lookup = TcpPeerLookup::Failed;
    try {
        peerName = socket().peerAddress().toString();
        lookup = tcpConnectingPeer(socket(), peer, reason);
    } catch (const Poco::Exception& e) {
        reason = e.displayText();
    }
    if (lookup != TcpPeerLookup::Found) {
        // Nothing of its request is carried out.
        Poco::Logger::get("vhproxy").warning("Refused " + peerName + ": its user is unknown, " + reason);
        return;
    }
    serve(peer.userId);
}

void VHProxyConnection::serve(unsigned int userId) {
    Poco::Logger& logger = Poco::Logger::get("vhproxy");
    try {
        const std::string peer = socket().peerAddress().toString();
        if (!daemon_.peerPolicy().allows(userId)) {
            logger.warning("Refused " + peer + " of user " + std::to_string(userId) +
                           ": not allowed to share USB devices");
            writeFrame(daemon_.refusal(request_, userId));
            socket().shutdown();
            return;
        }
        const std::string reply = daemon_.handleRequest(request_, userId);
        if (logger.debug()) logger.debug("Request " + request_ + " answered " + reply);
        writeFrame(reply);
        socket().shutdown();
    } catch (const Poco::Exception& e) {
        logger.warning("Connection failed: " + e.displayText());
    }
}

bool VHProxyConnection::writeFrame(const std::string& text) {
    const std::uint32_t length = static_cast<std::uint32_t>(text.size());
    std::string frame(4, '\0');
    for (int i = 0; i < 4; ++i) frame[static_cast<std::size_t>(i)] = static_cast<char>(length >> (8 * i));
    frame += text;
    socket().setSendTimeout(Poco::Timespan(VHProxyDaemon::requestTimeoutMs * 1000L));
    std::size_t done = 0;
    while (done < frame.size()) {
        const int n = socket().sendBytes(frame.data() + done, static_cast<int>(frame.size() - done), MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}
