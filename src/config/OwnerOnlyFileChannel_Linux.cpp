// Owner-only log files: created with mode 0600, existing ones restricted;
// the umask scope covers the moment in which POCO creates the successor of
// a rotated file.
#include "OwnerOnlyFileChannel.h"

#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void prepareOwnerOnlyFile(const std::string& path) {
    if (path.empty()) return;
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, S_IRUSR | S_IWUSR);
    if (fd < 0) return;
    ::fchmod(fd, S_IRUSR | S_IWUSR);
    ::close(fd);
}

void keepRunningAtFileSizeLimit() {
    // Only the default action (ending the process) is replaced; a handler
    // that someone installed stays.
    struct sigaction current {};
    if (::sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) ::signal(SIGXFSZ, SIG_IGN);
}

OwnerOnlyCreationScope::OwnerOnlyCreationScope() : saved_(::umask(S_IRWXG | S_IRWXO)) {}

OwnerOnlyCreationScope::~OwnerOnlyCreationScope() { ::umask(static_cast<mode_t>(saved_)); }
