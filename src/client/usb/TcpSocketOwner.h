// The owner of a TCP socket on this machine, from the kernel's socket
// table: which user a local peer of a loopback connection runs as. The
// vhproxy link trusts only a daemon of the service's user, and the daemon
// answers only users allowed to share USB devices.
#pragma once

#include <Poco/Net/SocketAddress.h>

// The user id that owns the socket whose own address is local and whose
// peer is remote; false when the table holds no such socket (also IPv4
// peers of a dual-stack socket are found). For the accepting end of a
// connection this is the owner of the listening socket.
bool tcpSocketOwner(const Poco::Net::SocketAddress& local, const Poco::Net::SocketAddress& remote,
                    unsigned int& userId);
