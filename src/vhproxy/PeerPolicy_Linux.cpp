// Group membership from the user and group databases (NSS): the user's
// primary group and every supplementary group it is listed in.
#include "PeerPolicy.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <vector>

PeerPolicy::PeerPolicy(std::string allowedGroup) : allowedGroup_(std::move(allowedGroup)) {}

bool PeerPolicy::allows(unsigned int userId) const {
    if (userId == 0) return true;
    if (allowedGroup_.empty()) return false;
    std::vector<char> buffer(16384);
    struct group groupEntry {};
    struct group* group = nullptr;
    if (::getgrnam_r(allowedGroup_.c_str(), &groupEntry, buffer.data(), buffer.size(), &group) != 0 || !group)
        return false;
    const gid_t allowed = group->gr_gid;
    std::vector<char> userBuffer(16384);
    struct passwd userEntry {};
    struct passwd* user = nullptr;
    if (::getpwuid_r(static_cast<uid_t>(userId), &userEntry, userBuffer.data(), userBuffer.size(), &user) != 0 ||
        !user)
        return false;
    if (user->pw_gid == allowed) return true;
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    if (::getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count));
        if (::getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) return false;
    }
    for (int i = 0; i < count; ++i)
        if (groups[static_cast<std::size_t>(i)] == allowed) return true;
    return false;
}
