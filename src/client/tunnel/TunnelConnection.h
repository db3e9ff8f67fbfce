// One forwarded TCP connection of a tunnel: the local socket, the id that
// the tunnel frames carry and the counters of what went each way. It belongs
// to exactly one list of one tunnel at a time and is never copied.
#pragma once

#include <Poco/Net/StreamSocket.h>

#include <cstdint>
#include <string>

namespace qor {

struct TunnelConnection {
    // Takes a share of the socket, which it closes when destroyed.
    TunnelConnection(std::int32_t connectionId, std::string creatorName, const Poco::Net::StreamSocket& localSocket);
    // Logs the counters (debug) and closes the socket.
    ~TunnelConnection();
    TunnelConnection(const TunnelConnection&) = delete;
    TunnelConnection& operator=(const TunnelConnection&) = delete;

    // The id as the log lines print it: the frame's unsigned 32-bit value.
    std::string idText() const;

    Poco::Net::StreamSocket socket;
    std::int32_t id;
    std::string name;
    std::uint64_t packetsSent = 0;
    std::uint64_t bytesSent = 0;
    std::uint64_t packetsReceived = 0;
    std::uint64_t bytesReceived = 0;
    // CLOSE went to the peer or came from it: nothing more is forwarded for
    // this connection, and it leaves the tunnel at the next pass.
    bool closing = false;
};

// The id of a connection as its log lines print it.
std::string connectionIdText(std::int32_t id);

} // namespace qor
