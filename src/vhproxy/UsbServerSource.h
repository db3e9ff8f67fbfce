// The daemon's devices from this machine's USB server (qdvhwin64), asked
// over its line protocol at every request: LIST for the devices, the
// server's name and the remote clients connected to it, BIND and RELEASE for
// the user's connect and disconnect. The server's port is the one given on
// the daemon's command line, or TCPPort of a configuration file, read again
// at every request.
//
// The USB server runs as the user whose client started it, and any local
// user may listen on its port while it is down. For a client of one user
// the daemon asks only a listener of that user (root's client may ask any):
// another user's listener gets no request and is answered for as a USB
// server that does not run, with whose it is. That is logged when it begins
// for a user and when the user's own USB server answers again, not at every
// request of the client's poll.
#pragma once

#include "DeviceSource.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>

class UsbServerSource : public DeviceSource {
public:
    // port 0: TCPPort of the configuration file (its default when the file
    // is missing or does not set it).
    UsbServerSource(std::string configPath, int port);

    Availability read(unsigned int userId, DeviceSnapshot& snapshot, std::string& reason) override;
    Change requestState(unsigned int userId, const std::string& address, bool connect,
                        std::string& reason) override;
    std::string description() const override;
    int usbServerPort() const override;

private:
    enum class Outcome { Answered, Down, Foreign };

    // One request line to the USB server for a client of the user, and its
    // reply line; Foreign (with the reason for the user) when what listens
    // on the port is not the user's or its owner cannot be told: then
    // nothing is sent to it.
    Outcome ask(unsigned int userId, const std::string& line, std::string& reply, std::string& reason);
    // Logs a refusal for the user when none is logged yet or the port has
    // another known holder now (holder: its user, none when it could not be
    // told; held: who holds the port, in plain words), and the end of the
    // refusals once the user's own USB server answers.
    void noteRefusal(unsigned int userId, std::optional<unsigned int> holder, const std::string& held);
    void noteAnswered(unsigned int userId, const std::string& endpoint);

    const std::string configPath_;
    const int port_;
    // For each user whose client was refused since its USB server last
    // answered: the holder of the port that the log last named.
    std::mutex lock_;
    std::map<unsigned int, std::optional<unsigned int>> refusals_;
};
