// Ownership and write permission from lstat of the real path, from the
// program up to "/". Access control lists need no look of their own: where
// one grants a user or group write access, the group bits of the mode (the
// list's mask) show it.
#include "ServiceProgramCheck.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

std::string userName(uid_t uid) {
    const struct passwd* user = ::getpwuid(uid);
    return user != nullptr ? std::string(user->pw_name) + " (" + std::to_string(uid) + ")" : std::to_string(uid);
}

std::string groupName(gid_t gid) {
    const struct group* group = ::getgrgid(gid);
    return group != nullptr ? std::string(group->gr_name) + " (" + std::to_string(gid) + ")" : std::to_string(gid);
}

// Why root should not trust this one path; empty when it may.
std::string unsafeEntry(const std::string& path, bool program) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return printablePath(path) + ": " + std::strerror(errno);
    const std::string shown = printablePath(path);
    if (program && !S_ISREG(status.st_mode)) return shown + " is not a regular file";
    if (!program && !S_ISDIR(status.st_mode)) return shown + " is not a folder";
    if (status.st_uid != 0) return shown + " belongs to the user " + userName(status.st_uid);
    if ((status.st_mode & S_IWOTH) != 0) return shown + " may be written by every user";
    if ((status.st_mode & S_IWGRP) != 0)
        return shown + " may be written by the group " + groupName(status.st_gid);
    return "";
}

} // namespace

std::string unsafeServiceProgram(const std::string& program) {
    if (holdsControlCharacter(program)) return printablePath(program) + " holds a control character";
    const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(program.c_str(), nullptr), &std::free);
    if (!resolved) return printablePath(program) + ": " + std::strerror(errno);
    std::string path = resolved.get();
    if (holdsControlCharacter(path)) return printablePath(path) + " holds a control character";
    for (bool first = true;; first = false) {
        const std::string reason = unsafeEntry(path, first);
        if (!reason.empty()) return reason;
        if (path == "/") return "";
        const std::string::size_type slash = path.find_last_of('/');
        path = slash == 0 ? "/" : path.substr(0, slash);
    }
}
