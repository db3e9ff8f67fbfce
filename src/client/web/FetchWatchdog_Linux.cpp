// The watchdog's own handle to a connection: a duplicate of the socket's
// descriptor, so that shutting it down reaches the connection while the
// number can never name another socket of the process.
#include "FetchWatchdog.h"

#include <sys/socket.h>
#include <unistd.h>

int FetchWatchdog::duplicateHandle(const Poco::Net::StreamSocket& socket) {
    const int descriptor = socket.impl()->sockfd();
    return descriptor < 0 ? -1 : ::dup(descriptor);
}

void FetchWatchdog::shutDownHandle(int handle) {
    if (handle >= 0) ::shutdown(handle, SHUT_RDWR);
}

void FetchWatchdog::closeHandle(int handle) {
    if (handle >= 0) ::close(handle);
}
