// Which local users the daemon answers: root and the members of one group
// (by default "plugdev", the group of users who may use removable devices).
#pragma once

#include <string>

class PeerPolicy {
public:
    explicit PeerPolicy(std::string allowedGroup);
    bool allows(unsigned int userId) const;
    const std::string& allowedGroup() const { return allowedGroup_; }

private:
    std::string allowedGroup_;
};
