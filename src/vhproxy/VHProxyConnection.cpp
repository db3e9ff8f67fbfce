#include "VHProxyConnection.h"

#include "VHProxyDaemon.h"

#include "TcpPeerIdentity.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <vector>

namespace {

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

VHProxyConnection::VHProxyConnection(const Poco::Net::StreamSocket& socket, VHProxyDaemon& daemon)
    : Poco::Net::TCPServerConnection(socket), daemon_(daemon) {}

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
        // Its request, if one came, is not even read.
        Poco::Logger::get("vhproxy").warning("Refused " + peerName + ": its user is unknown, " + reason);
        return;
    }
    serve(peer.userId);
}

void VHProxyConnection::serve(unsigned int userId) {
    Poco::Logger& logger = Poco::Logger::get("vhproxy");
    try {
        const std::string peer = socket().peerAddress().toString();
        std::string request;
        if (!readFrame(request)) return;
        if (!daemon_.peerPolicy().allows(userId)) {
            logger.warning("Refused " + peer + " of user " + std::to_string(userId) +
                           ": not allowed to share USB devices");
            writeFrame(daemon_.refusal(request, userId));
            socket().shutdown();
            return;
        }
        const std::string reply = daemon_.handleRequest(request);
        if (logger.debug()) logger.debug("Request " + request + " answered " + reply);
        writeFrame(reply);
        socket().shutdown();
    } catch (const Poco::Exception& e) {
        logger.warning("Connection failed: " + e.displayText());
    }
}

bool VHProxyConnection::readFrame(std::string& text) {
    Poco::Logger& logger = Poco::Logger::get("vhproxy");
    const std::int64_t deadline = nowMs() + VHProxyDaemon::requestTimeoutMs;
    auto receive = [&](char* buffer, int size) {
        int done = 0;
        while (done < size) {
            const std::int64_t left = deadline - nowMs();
            if (left <= 0) return false;
            socket().setReceiveTimeout(Poco::Timespan(left * 1000));
            const int n = socket().receiveBytes(buffer + done, size - done);
            if (n <= 0) return false;
            done += n;
        }
        return true;
    };
    unsigned char header[4];
    try {
        if (!receive(reinterpret_cast<char*>(header), 4)) {
            logger.warning("Connection closed before a request arrived");
            return false;
        }
        const std::int32_t length = static_cast<std::int32_t>(
            static_cast<std::uint32_t>(header[0]) | static_cast<std::uint32_t>(header[1]) << 8 |
            static_cast<std::uint32_t>(header[2]) << 16 | static_cast<std::uint32_t>(header[3]) << 24);
        if (length < 0 || length > VHProxyDaemon::maxRequestLength) {
            logger.warning("Refused a request of " + std::to_string(length) + " bytes");
            return false;
        }
        std::vector<char> buffer(static_cast<std::size_t>(length) + 1, '\0');
        if (!receive(buffer.data(), length)) {
            logger.warning("Connection closed before the whole request arrived");
            return false;
        }
        text = buffer.data(); // up to the first NUL
    } catch (const Poco::TimeoutException&) {
        logger.warning("No request within " + std::to_string(VHProxyDaemon::requestTimeoutMs) + " ms");
        return false;
    }
    return true;
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
