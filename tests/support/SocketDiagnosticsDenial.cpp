#include "SocketDiagnosticsDenial.h"

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace {

#if defined(__x86_64__)
constexpr unsigned int ownArchitecture = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned int ownArchitecture = AUDIT_ARCH_AARCH64;
#else
#error "the architecture of the seccomp filter is not known for this machine"
#endif

} // namespace

bool denySocketDiagnostics(std::string& error) {
    // The first argument's low 32 bits (little-endian machines) hold the
    // address family.
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ownArchitecture, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_NETLINK, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EACCES & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog filter{};
    filter.len = static_cast<unsigned short>(sizeof program / sizeof program[0]);
    filter.filter = program;
    // Needed by a user without CAP_SYS_ADMIN; it keeps set-user-id programs
    // from gaining rights, which no test needs.
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        error = std::string("no_new_privs: ") + std::strerror(errno);
        return false;
    }
    if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
        error = std::string("seccomp filter: ") + std::strerror(errno);
        return false;
    }
    return true;
}
