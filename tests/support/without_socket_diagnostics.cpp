// Runs a program without the kernel's socket diagnostics (see
// SocketDiagnosticsDenial.h): a server that cannot tell who connects.
//
// Usage: without-socket-diagnostics PROGRAM [ARGUMENT...]
#include "SocketDiagnosticsDenial.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: without-socket-diagnostics PROGRAM [ARGUMENT...]\n");
        return 2;
    }
    std::string error;
    if (!denySocketDiagnostics(error)) {
        std::fprintf(stderr, "without-socket-diagnostics: %s\n", error.c_str());
        return 125;
    }
    ::execv(argv[1], argv + 1);
    std::fprintf(stderr, "without-socket-diagnostics: can't run %s: %s\n", argv[1], std::strerror(errno));
    return 127;
}
