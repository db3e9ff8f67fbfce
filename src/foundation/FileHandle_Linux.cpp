// Named-pipe ends are FIFO descriptors on Linux.
#include "FileHandle.h"

#include <cerrno>

#include <unistd.h>

std::ptrdiff_t FileHandle::readPipe(std::intptr_t pipe, void* data, std::size_t size) {
    ssize_t done;
    do {
        done = ::read(static_cast<int>(pipe), data, size);
    } while (done < 0 && errno == EINTR);
    return done;
}

std::ptrdiff_t FileHandle::writePipe(std::intptr_t pipe, const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    std::size_t written = 0;
    while (written < size) {
        const ssize_t done = ::write(static_cast<int>(pipe), bytes + written, size - written);
        if (done < 0) {
            if (errno == EINTR) continue;
            return written > 0 ? static_cast<std::ptrdiff_t>(written) : -1;
        }
        written += static_cast<std::size_t>(done);
    }
    return static_cast<std::ptrdiff_t>(written);
}

bool FileHandle::closePipe(std::intptr_t pipe, const std::string& removeOnClose) {
    // The name goes first so that no new client finds a pipe without a server.
    if (!removeOnClose.empty()) ::unlink(removeOnClose.c_str());
    return ::close(static_cast<int>(pipe)) == 0;
}
