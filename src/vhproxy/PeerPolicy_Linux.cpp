// Group membership from the user and group databases (NSS): the user's
// primary group and every supplementary group it is listed in.
#include "PeerPolicy.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <vector>

namespace {

bool groupId(const std::string& name, gid_t& id) {
    std::vector<char> buffer(16384);
    struct group entry {};
    struct group* group = nullptr;
    if (name.empty() || ::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &group) != 0 || !group)
        return false;
    id = group->gr_gid;
    return true;
}

// The user's name and primary group; false when the user is unknown.
bool userEntry(unsigned int userId, std::string& name, gid_t& primaryGroup) {
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* user = nullptr;
    if (::getpwuid_r(static_cast<uid_t>(userId), &entry, buffer.data(), buffer.size(), &user) != 0 || !user)
        return false;
    name = user->pw_name;
    primaryGroup = user->pw_gid;
    return true;
}

} // namespace

bool PeerPolicy::readAllows(unsigned int userId) const {
    if (userId == 0) return true;
    gid_t allowed = 0;
    std::string name;
    gid_t primary = 0;
    if (!groupId(allowedGroup_, allowed) || !userEntry(userId, name, primary)) return false;
    if (primary == allowed) return true;
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    if (::getgrouplist(name.c_str(), primary, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count));
        if (::getgrouplist(name.c_str(), primary, groups.data(), &count) < 0) return false;
    }
    for (int i = 0; i < count; ++i)
        if (groups[static_cast<std::size_t>(i)] == allowed) return true;
    return false;
}

std::string PeerPolicy::userText(unsigned int userId) {
    std::string name;
    gid_t primary = 0;
    if (!userEntry(userId, name, primary)) return "the user with uid " + std::to_string(userId);
    return "user " + name + " (uid " + std::to_string(userId) + ")";
}

std::string PeerPolicy::readRefusalMessage(unsigned int userId) const {
    std::string name;
    gid_t primary = 0;
    const bool known = userEntry(userId, name, primary);
    std::string user = userText(userId);
    user[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(user[0])));
    const std::string group = "'" + allowedGroup_ + "'";
    gid_t allowed = 0;
    const std::string who = known ? name : "USER";
    if (!groupId(allowedGroup_, allowed))
        return user + " may not share USB devices: only members of group " + group +
               " may, and this machine has no such group. An administrator can create it and add the user to it: "
               "groupadd " + allowedGroup_ + "; usermod -aG " + allowedGroup_ + " " + who;
    return user + " may not share USB devices: not a member of group " + group +
           ". An administrator can add the user to it: usermod -aG " + allowedGroup_ + " " + who;
}
