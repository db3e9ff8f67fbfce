// Linux: SIGPIPE is ignored (a send to a closed peer then fails with EPIPE),
// error texts come from errno, and shutdown(2) wakes a blocked socket call.
#include "TunnelPlatform.h"

#include "Utilities.h"

#include <Poco/Net/Socket.h>
#include <Poco/Net/SocketImpl.h>

#include <cerrno>
#include <mutex>

#include <signal.h>
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

std::string lastSystemErrorText() { return windowsErrorText(static_cast<unsigned int>(errno)); }

void forceSocketDown(const Poco::Net::Socket& socket) {
    const int fd = socket.impl()->sockfd();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

} // namespace qor
