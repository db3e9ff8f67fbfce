// Which local users the daemon answers: root and the members of one group
// (by default "plugdev", the group of users who may use removable devices),
// as their primary group or as one of their supplementary groups.
#pragma once

#include <string>

class PeerPolicy {
public:
    explicit PeerPolicy(std::string allowedGroup);
    bool allows(unsigned int userId) const;
    const std::string& allowedGroup() const { return allowedGroup_; }
    // For a user it does not allow: in plain words who the user is, why the
    // daemon does not answer and what an administrator can do about it.
    std::string refusalMessage(unsigned int userId) const;
    // A user for messages: "user alice (uid 2001)", or "the user with uid
    // 3000" for one without an account.
    static std::string userText(unsigned int userId);

private:
    std::string allowedGroup_;
};
