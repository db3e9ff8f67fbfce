// Service detection: the client counts as a system service when it runs as
// root and was started by the service manager (systemd sets INVOCATION_ID
// for every unit; a classic daemon is re-parented to init and has no
// terminal). Running as root from a shell does not count.
#include "RunConfig.h"

#include <cstdlib>
#include <unistd.h>

bool platformIsSystemService() {
    if (geteuid() != 0) return false;
    const char* invocation = std::getenv("INVOCATION_ID");
    if (invocation != nullptr && *invocation != '\0') return true;
    return getppid() == 1 && !isatty(STDIN_FILENO);
}
