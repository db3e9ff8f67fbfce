// What the tunnels need of the operating system beyond POCO's sockets. One
// implementation per platform (TunnelPlatform_Linux.cpp).
#pragma once

#include <cstddef>
#include <string>

namespace Poco {
namespace Net {
class Socket;
}
} // namespace Poco

namespace qor {

// A peer that vanishes while we send must give a failed send, never end
// the process. Called by every tunnel's constructor; acts once.
void ignoreBrokenPipe();

// True when the system error code of a failed socket call means that the
// process or the system ran short of descriptors or memory: a condition
// that passes, unlike a broken socket.
bool isResourceShortage(int errorCode);

// True when the code of a failed call on a non-blocking socket means that
// the call would have had to wait.
bool isWouldBlock(int errorCode);

// The backlog of a tunnel's listening socket: the most the system allows.
// With a short backlog, a burst of connections to a busy listener is not
// made to wait: Linux answers the connections beyond it with SYN cookies
// and drops those that complete while the queue is full, and a client that
// has begun to send on one then gets a reset.
int listenBacklog();

// Where a non-blocking connect of the socket stands, without waiting:
// CONNECT_DONE, CONNECT_UNDER_WAY, or CONNECT_FAILED (refused, reset, or the
// socket cannot be asked).
enum class ConnectProgress { CONNECT_DONE, CONNECT_UNDER_WAY, CONNECT_FAILED };
ConnectProgress connectProgress(const Poco::Net::Socket& socket);

// Fixes the send buffer of a tunnel's local socket at bytes as the system
// counts them, so that the system no longer grows it by itself. Errors are
// ignored: the socket keeps the system's buffer.
void fixSendBuffer(const Poco::Net::Socket& socket, int bytes);

// The bytes that the socket's send queue holds and the other end has not
// acknowledged: 0 when the system cannot tell.
std::size_t unsentBytes(const Poco::Net::Socket& socket);

// windowsErrorText of the calling thread's last system error.
std::string lastSystemErrorText();

// Shuts both directions of the socket's TCP connection down without closing
// the descriptor, so that a thread blocked in a send or receive on it
// returns at once. Any thread may call it; errors are ignored.
void forceSocketDown(const Poco::Net::Socket& socket);

} // namespace qor
