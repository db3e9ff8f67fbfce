// What the client knows of the daemon vhproxy: whether it answers, and if
// not, why (its service is not installed, it is silent, its port is held by
// a program of another user, it refuses this user, it is of another
// version, USB forwarding gave it up). Every part of USB forwarding that
// meets the daemon reports what it found here; a report that changes the
// state is what gets logged at the line's own level and what the page is
// told, once, so that a daemon that stays away costs no log line per poll
// tick.
//
// Its lock is taken last: nothing else is taken while it is held.
#pragma once

#include "OwnerLock.h"

#include <cstdint>
#include <string>

enum class VHProxyState {
    Unknown,      // nothing found yet
    Answering,    // the daemon answers this client
    NotInstalled, // no service to start (a vhproxy that runs anyway does not answer)
    NotAnswering, // installed (or not known to be absent), but no reply
    PortHeld,     // what listens on the daemon's port is not the service's (another user's program)
    Refused,      // the daemon answers, but does not serve this user
    Incompatible, // the daemon answers with another version
    GivenUp,      // USB forwarding gave the daemon up for this process
};

class VHProxyReachability {
public:
    struct Snapshot {
        VHProxyState state = VHProxyState::Unknown;
        // Incompatible: the version found; Refused: the daemon's own words;
        // NotInstalled: the service manager's complaint, if any; PortHeld:
        // the user id of the listener.
        std::string detail;
        // Refused: the group whose members the daemon serves.
        std::string group;
    };

    // A reply came. Answering again, unless the daemon is known to be of
    // another version: only a version check or a device list clears that.
    bool answered();
    // No reply came. Not answering, unless the daemon is known to be absent
    // (not installed, given up), which says more.
    bool notAnswering();
    // The daemon refused this user with these words; it serves group.
    bool refused(const std::string& message, const std::string& group);
    // The listener on the daemon's port belongs to this user, not to the
    // service. It stays the state until an exchange finds the port free or
    // answered: while another program holds the port, that the service is
    // not installed (or cannot be asked) is not what keeps USB sharing away.
    bool portHeld(std::uint32_t userId);
    // What the supervision found (NotInstalled keeps PortHeld, see
    // portHeld). True when the state changed.
    bool set(VHProxyState state, const std::string& detail = "");

    Snapshot snapshot() const;
    VHProxyState state() const { return snapshot().state; }
    // The state the page has not been told yet; false when it has (or when
    // the daemon answers, which the page sees in its device lists).
    bool takeUntold(Snapshot& snapshot);
    // A new page: it is told the state afresh.
    void forgetTold();

private:
    // Changes to next unless keeps says that the current state stays.
    bool change(const Snapshot& next, bool (*keeps)(VHProxyState));

    mutable OwnerLock lock_;
    Snapshot current_;
    Snapshot told_;
};

extern VHProxyReachability vhProxyReachability;
