// Linux: SIGPIPE is ignored (a send to a closed peer then fails with EPIPE),
// error texts come from errno, shutdown(2) wakes a blocked socket call,
// poll(2) with SO_ERROR tells how a non-blocking connect stands,
// SO_SNDBUF is given half the buffer wanted (Linux doubles it), and
// ioctl(SIOCOUTQ) tells what a send queue holds unsent.
#include "TunnelPlatform.h"

#include "Utilities.h"

#include <Poco/Net/Socket.h>
#include <Poco/Net/SocketImpl.h>

#include <cerrno>
#include <mutex>

#include <linux/sockios.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace qor {

void ignoreBrokenPipe() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current {};
        if (::sigaction(SIGPIPE, nullptr, &current) != 0) return;
        // A handler that someone installed on purpose stays.
        if (current.sa_handler != SIG_DFL) return;
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        ::sigaction(SIGPIPE, &ignore, nullptr);
    });
}

bool isResourceShortage(int errorCode) {
    return errorCode == EMFILE || errorCode == ENFILE || errorCode == ENOMEM || errorCode == ENOBUFS;
}

bool isWouldBlock(int errorCode) { return errorCode == EAGAIN || errorCode == EWOULDBLOCK; }

int listenBacklog() { return SOMAXCONN; }

ConnectProgress connectProgress(const Poco::Net::Socket& socket) {
    const int fd = socket.impl()->sockfd();
    if (fd < 0) return ConnectProgress::CONNECT_FAILED;
    pollfd polled{fd, POLLOUT, 0};
    const int ready = ::poll(&polled, 1, 0);
    if (ready < 0) return errno == EINTR ? ConnectProgress::CONNECT_UNDER_WAY : ConnectProgress::CONNECT_FAILED;
    if (ready == 0) return ConnectProgress::CONNECT_UNDER_WAY;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
        return ConnectProgress::CONNECT_FAILED;
    // Writable without an error may still be a connection that the other
    // side reset at once: only a connected socket has a peer.
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) return ConnectProgress::CONNECT_FAILED;
    return ConnectProgress::CONNECT_DONE;
}

void fixSendBuffer(const Poco::Net::Socket& socket, int bytes) {
    const int fd = socket.impl()->sockfd();
    if (fd < 0) return;
    // Linux doubles the value asked for (room for its bookkeeping) and,
    // once it is set, stops tuning the buffer.
    const int asked = bytes / 2;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &asked, sizeof asked);
}

std::size_t unsentBytes(const Poco::Net::Socket& socket) {
    const int fd = socket.impl()->sockfd();
    int unsent = 0;
    if (fd < 0 || ::ioctl(fd, SIOCOUTQ, &unsent) != 0 || unsent < 0) return 0;
    return static_cast<std::size_t>(unsent);
}

std::string lastSystemErrorText() { return windowsErrorText(static_cast<unsigned int>(errno)); }

void forceSocketDown(const Poco::Net::Socket& socket) {
    const int fd = socket.impl()->sockfd();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

} // namespace qor
