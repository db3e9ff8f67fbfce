// Linux side of the file helpers: stat/access for the attribute test, open
// with O_NOFOLLOW plus fstat for the guarded open, FIFOs for named pipes.
#include "FileHelpers.h"

#include "Logging.h"
#include "Utilities.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool permitted(const std::string& path, int access) {
    return faccessat(AT_FDCWD, path.c_str(), access, AT_EACCESS) == 0;
}

int statFailure(const std::string& path, int error) {
    switch (error) {
    case ENOENT:
        return FileAttributes::Missing;
    case ENOMEM:
    case EFAULT:
    case EOVERFLOW:
        logError("Internal error in checkFileAttributes, '" + path + "' " + windowsErrorText(error));
        return FileAttributes::Missing;
    case EACCES:
        logError("Access denied in checkFileAttributes, '" + path + "'");
        return FileAttributes::Missing;
    case ENOTDIR:
        logError("Invalid argument in checkFileAttributes, '" + path + "'");
        return FileAttributes::Missing;
    case EINVAL:
        logError("Error in checkFileAttributes, '" + path + "'");
        return FileAttributes::Failed;
    case ENAMETOOLONG:
    case ELOOP:
        logError("Path name too long in checkFileAttributes, '" + path + "'");
        return FileAttributes::Missing;
    default:
        logCritical("Unexpected error in checkFileAttributes, '" + path + "'");
        return FileAttributes::Failed;
    }
}

// Descriptors are opened non-blocking so that open() never waits for the
// other end of a FIFO; the stream works blocking afterwards.
void makeBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

FileHandle closeAndFail(int fd) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return {};
}

FileHandle openPipeServer(const std::string& name, bool outbound) {
    bool created = mkfifo(name.c_str(), S_IRUSR | S_IWUSR) == 0;
    int fd = -1;
    if (created || errno == EEXIST) {
        // Read and write: the open never waits for a client, and a writing
        // server keeps what it writes until a client reads it.
        fd = open(name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        struct stat st;
        if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode))) {
            ::close(fd);
            fd = -1;
            errno = EEXIST; // the name is taken by something that is not a pipe
        }
    }
    if (fd < 0) {
        const int error = errno;
        if (created) ::unlink(name.c_str());
        logError("Create NamedPipe (write) " + name + " failed: " + windowsErrorText(error));
        return {};
    }
    makeBlocking(fd);
    logTrace("Created named pipe: " + name);
    return FileHandle::forPipe(fd, outbound, created ? name : std::string());
}

FileHandle openPipeClient(const std::string& name, bool outbound) {
    logTrace("Creating client named pipe: " + name);
    // A writing client fails at once (ENXIO) when no server holds the pipe.
    int fd = open(name.c_str(), (outbound ? O_WRONLY : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode))) {
        ::close(fd);
        fd = -1;
        errno = ENXIO; // no pipe server under that name
    }
    if (fd < 0) {
        const int error = errno;
        logDebug("Create NamedPipe (read) " + name + " failed: " + windowsErrorText(error));
        return {};
    }
    makeBlocking(fd);
    return FileHandle::forPipe(fd, outbound);
}

} // namespace

int checkFileAttributes(const std::string& path, int kind) {
    if (path.empty()) {
        logError("Empty file path in checkFileAttributes");
        return FileAttributes::Failed;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return statFailure(path, errno);
    if (kind == FileKind::Directory) return S_ISDIR(st.st_mode) ? FileAttributes::Usable : FileAttributes::NotDirectory;
    if (!S_ISREG(st.st_mode)) return FileAttributes::NotRegularFile;
    switch (kind) {
    case FileKind::NonEmptyFile:
        return st.st_size == 0 ? FileAttributes::EmptyFile : FileAttributes::Usable;
    case FileKind::ExecutableFile:
        return permitted(path, X_OK) ? FileAttributes::Usable : FileAttributes::NotExecutable;
    case FileKind::ReadableFile:
        return permitted(path, R_OK) ? FileAttributes::Usable : FileAttributes::NotReadable;
    case FileKind::WritableFile:
    case 6:
        return permitted(path, W_OK) ? FileAttributes::Usable : FileAttributes::NotWritable;
    default:
        return FileAttributes::Usable;
    }
}

int openFileSafely(const std::string& path, int mode, std::string& streamMode, bool binary) {
    int flags = O_RDONLY;
    mode_t permission = 0;
    switch (mode) {
    case 0:
        streamMode = binary ? "rb" : "r";
        break;
    case 1:
        streamMode = binary ? "wb" : "w";
        flags = O_WRONLY | O_CREAT | O_TRUNC;
        permission = S_IRUSR | S_IWUSR;
        break;
    case 2:
        streamMode = binary ? "ab" : "a";
        flags = O_WRONLY | O_APPEND | O_CREAT;
        permission = S_IRUSR | S_IWUSR;
        break;
    default:
        streamMode.clear();
        break;
    }
    // O_NOFOLLOW: a final symbolic link fails with ELOOP instead of being followed.
    const int fd = open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, permission);
    if (fd < 0) {
        const int error = errno;
        if (error == ELOOP)
            logCritical("Found unexpected symlink at '" + path + "', refusing to open file");
        else
            logError("Can't open file '" + path + "', " + windowsErrorText(error));
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        logCritical("Can't retrieve stat information for '" + path + "', refusing to open file");
        ::close(fd);
        return -1;
    }
    if (S_ISCHR(st.st_mode)) {
        logCritical("File to open '" + path + "' points to character device, refusing to open");
        ::close(fd);
        return -1;
    }
    if (S_ISDIR(st.st_mode)) {
        logCritical("File to open '" + path + "' points to directory, can't open");
        ::close(fd);
        return -1;
    }
    makeBlocking(fd);
    return fd;
}

FileHandle openFileWithMode(const std::string& path, int mode, bool binaryOrServer, bool namedPipe) {
    if (namedPipe) {
        const bool outbound = mode == 1;
        return binaryOrServer ? openPipeServer(path, outbound) : openPipeClient(path, outbound);
    }
    std::string streamMode;
    const int fd = openFileSafely(path, mode, streamMode, binaryOrServer);
    if (fd < 0) return {};
    if (streamMode.empty()) {
        logCritical("Undefined open mode, refusing to open fd, " + windowsErrorText(EINVAL));
        return closeAndFail(fd);
    }
    std::FILE* stream = fdopen(fd, streamMode.c_str());
    if (!stream) {
        logError("Can't reopen file '" + path + "', mode '" + streamMode + "', " + windowsErrorText(errno));
        return closeAndFail(fd);
    }
    return FileHandle(stream);
}
