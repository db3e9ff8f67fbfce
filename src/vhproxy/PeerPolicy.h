// Which local users the daemon answers: root and the members of one group
// (by default "plugdev", the group of users who may use removable devices),
// as their primary group or as one of their supplementary groups.
//
// What the user and group databases say of a user is kept for a second: a
// user who opens connections as fast as it can makes the daemon read them
// once a second, not once per connection; a change of a user's groups
// counts within a second.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>

class PeerPolicy {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto keptFor = std::chrono::seconds(1);

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
    struct Known {
        Clock::time_point readAt;
        bool allowed = false;
        std::string refusal; // for a user not allowed
    };

    // What the databases say now (platform part).
    bool readAllows(unsigned int userId) const;
    std::string readRefusalMessage(unsigned int userId) const;
    // The user's entry, read again when older than keptFor.
    Known known(unsigned int userId) const;

    std::string allowedGroup_;
    mutable std::mutex lock_;
    mutable std::map<unsigned int, Known> known_;
};
