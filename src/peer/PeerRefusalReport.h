// Connections that a local listener refuses because of their peer's user.
// Another user can open connections as fast as they are refused: a line for
// each would push the useful lines out of the rotated log. The first refusal
// of a user is to be logged; the further ones are counted and summed up
// once the period has passed (looked at with the next connection) or when
// the listener stops: at most two lines per user and period, however many
// come. Safe to use from several threads.
#pragma once

#include "ShortageReport.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class PeerRefusalReport {
public:
    explicit PeerRefusalReport(ShortageReport::Clock::duration period = std::chrono::minutes(1));

    // A connection of the user was refused; true when this refusal is to
    // be logged now (the first of a period).
    bool refused(unsigned int userId);

    // The refusals of one user not logged one by one.
    struct Summary {
        unsigned int userId = 0;
        std::uint64_t more = 0; // refusals after the logged one
        long long seconds = 0;  // since the logged one
        // "<more> more connections of user <id> in the last <seconds> s"
        std::string text() const;
    };
    // The users whose period is over, with the refusals after their logged
    // one (none: nothing to tell); with all, every user's, over or not (the
    // listener stops).
    std::vector<Summary> summaries(bool all = false);

private:
    const ShortageReport::Clock::duration period_;
    std::mutex lock_;
    std::map<unsigned int, ShortageReport> users_;
};
