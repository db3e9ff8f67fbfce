// Service detection: the client counts as a system service when it runs as
// root and was started by the service manager (systemd sets INVOCATION_ID
// for every unit it starts). Anything else is a user's start, also as root
// and also when the shell that started it has gone (parent pid 1, no
// terminal): such a client keeps its console log and its working folder.
#include "RunConfig.h"

#include <cstdlib>
#include <unistd.h>

bool platformIsSystemService() {
    if (geteuid() != 0) return false;
    const char* invocation = std::getenv("INVOCATION_ID");
    return invocation != nullptr && *invocation != '\0';
}
