// Owner-only log files: the umask scope covers the moments in which POCO
// creates the log file (at open) and the successor of a rotated file; no
// mode is ever changed afterwards. And a file size limit that fails writes
// instead of ending the process.
#include "OwnerOnlyFileChannel.h"

#include <csignal>

#include <sys/stat.h>

void keepRunningAtFileSizeLimit() {
    // Only the default action (ending the process) is replaced; a handler
    // that someone installed stays.
    struct sigaction current {};
    if (::sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) ::signal(SIGXFSZ, SIG_IGN);
}

OwnerOnlyCreationScope::OwnerOnlyCreationScope() : saved_(::umask(S_IRWXG | S_IRWXO)) {}

OwnerOnlyCreationScope::~OwnerOnlyCreationScope() { ::umask(static_cast<mode_t>(saved_)); }
