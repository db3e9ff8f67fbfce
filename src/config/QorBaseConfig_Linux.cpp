#include "QorBaseConfig.h"

#include <sys/stat.h>

bool restrictToOwner(std::FILE* stream) { return fchmod(fileno(stream), S_IRUSR | S_IWUSR) == 0; }
