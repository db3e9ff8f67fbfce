// Who holds the other end of a TCP connection on this machine. The kernel
// is asked for the one socket with the connection's exact address pair, in
// the caller's network namespace; the answer does not depend on how many
// other sockets the machine has. Only a socket that still takes part in the
// connection counts: one whose owner closed it carries no identity (the
// kernel lists it without a user), so its peer is taken as gone.
#pragma once

#include <Poco/Net/StreamSocket.h>

#include <cstdint>
#include <string>

struct TcpPeerIdentity {
    // The owner's user id, as the caller's user namespace sees it.
    unsigned int userId = 0;
    // The socket's inode number.
    std::uint64_t inode = 0;
};

enum class TcpPeerLookup {
    Found,  // the peer and its owner are known
    Gone,   // no live socket of the peer: closed, closing, reset or never there
    Failed, // not a connected IP socket, or the kernel could not be asked
};

// A connection this process accepted: the connecting peer's own socket, by
// the exact address pair. Found only while that socket is established and
// held by a process (it has an inode); a peer that closed its socket
// (FIN_WAIT*, TIME_WAIT, gone) is Gone.
TcpPeerLookup tcpConnectingPeer(const Poco::Net::StreamSocket& accepted, TcpPeerIdentity& peer, std::string& reason);

// A connection this process made to a local listener: the user whose
// listening socket accepted it. The socket that the listener made for the
// connection must still be established; until the listening process has
// taken it (accept), the identity is that of the listener itself.
TcpPeerLookup tcpAcceptingPeer(const Poco::Net::StreamSocket& connected, TcpPeerIdentity& peer, std::string& reason);
