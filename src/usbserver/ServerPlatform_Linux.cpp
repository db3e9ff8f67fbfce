// Linux: the effective user id, and shutdown(2) of a listening socket,
// which wakes a thread blocked in accept(2) on it.
#include "ServerPlatform.h"

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketImpl.h>

#include <sys/socket.h>
#include <unistd.h>

unsigned int processUserId() { return static_cast<unsigned int>(::geteuid()); }

void wakeBlockedAccept(const Poco::Net::ServerSocket& listener) {
    const int fd = listener.impl()->sockfd();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}
