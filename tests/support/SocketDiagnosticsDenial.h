// Takes the kernel's socket diagnostics away from a thread: a seccomp filter
// on the calling thread makes every later socket(AF_NETLINK, ...) of it fail
// with EACCES, as a sandbox that allows no netlink would. A lookup of who
// holds the other end of a connection then cannot ask the kernel. Other
// threads keep their sockets; the filter stays with the thread until it
// ends, and goes with it through exec.
#pragma once

#include <string>

// False with the reason when the filter cannot be installed.
bool denySocketDiagnostics(std::string& error);
