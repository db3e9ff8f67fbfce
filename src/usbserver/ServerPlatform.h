// What the USB server and the vhproxy daemon need of the operating system
// beyond POCO's sockets. One implementation per platform
// (ServerPlatform_Linux.cpp).
#pragma once

namespace Poco {
namespace Net {
class ServerSocket;
}
} // namespace Poco

// The user this process runs as: the user whose client started the USB
// server.
unsigned int processUserId();

// Makes an accept that blocks on the listener return at once (it then
// fails), so that the accepting thread can see that it is to end. Errors
// are ignored; the listener takes no connection afterwards.
void wakeBlockedAccept(const Poco::Net::ServerSocket& listener);
