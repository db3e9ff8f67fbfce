// SIGTERM and SIGINT are blocked and taken with sigwait; readiness goes to
// systemd's notification socket (NOTIFY_SOCKET, Type=notify units) as the
// datagrams "READY=1" and "STOPPING=1". Without a notification socket
// (started by hand) there is nobody to tell.
#include "DaemonSignals.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

sigset_t terminationSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    return signals;
}

void notify(const std::string& state) {
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr || *path == '\0') return;
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(path);
    if (length >= sizeof address.sun_path) return;
    std::memcpy(address.sun_path, path, length);
    if (path[0] == '@') address.sun_path[0] = '\0'; // abstract namespace
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    const socklen_t size = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + length);
    ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<const struct sockaddr*>(&address), size);
    ::close(fd);
}

} // namespace

void blockTerminationSignals() {
    const sigset_t signals = terminationSignals();
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void waitForTerminationRequest() {
    const sigset_t signals = terminationSignals();
    int received = 0;
    while (::sigwait(&signals, &received) != 0) {
    }
}

void notifyServiceReady() { notify("READY=1\nMAINPID=" + std::to_string(::getpid())); }

void notifyServiceStopping() { notify("STOPPING=1"); }
