#include "QorBaseConfig.h"

#include <sys/stat.h>

bool restrictToOwner(std::FILE* stream) {
    const int fd = fileno(stream);
    struct stat status {};
    if (fstat(fd, &status) != 0) return false;
    // A device or a FIFO that the user names as the target is written to,
    // but its mode is not the configuration's to change.
    if (!S_ISREG(status.st_mode)) return true;
    return fchmod(fd, S_IRUSR | S_IWUSR) == 0;
}
