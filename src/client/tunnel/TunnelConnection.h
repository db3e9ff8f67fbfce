// One forwarded TCP connection of a tunnel: the local socket, the id that
// the tunnel frames carry and the counters of what went each way. It belongs
// to exactly one list of one tunnel at a time and is never copied.
#pragma once

#include "PendingBytes.h"

#include <Poco/Net/StreamSocket.h>

#include <cstddef>
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
    // this connection, and it leaves the tunnel once the bytes that wait
    // for its application are written.
    bool closing = false;

    // Bytes from the peer that the local application has not taken yet.
    PendingBytes pending;
    // What the system held unsent in the socket's send queue when last
    // asked (after each write, and at every pass while it is not nothing).
    std::size_t unsent = 0;
    // Its pending bytes reached the tunnel's bound for one connection: the
    // tunnel reads nothing from the peer until they are down to half.
    bool overBound = false;
    // The local connect for the peer's OPEN is under way; it fails when it
    // has not completed by connectDeadline (monotonic milliseconds).
    bool connecting = false;
    std::int64_t connectDeadline = 0;
    // Removed, but its application still has bytes to take: it stays until
    // they are written (or the write fails), no longer known by its id.
    bool lingering = false;
};

// The id of a connection as its log lines print it.
std::string connectionIdText(std::int32_t id);

} // namespace qor
