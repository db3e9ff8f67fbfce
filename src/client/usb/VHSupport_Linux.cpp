// Linux: programs carry no file-name suffix; the module is a shared library
// "libVirtualHereServer.so" that finds its own dependencies beside it
// through its RUNPATH ($ORIGIN), so a load by absolute path needs no flags.
#include "VHSupport.h"

std::string vhServerProgramName() { return "qdvhwin64"; }

std::string vhClientProgramName() { return "vhui64"; }
