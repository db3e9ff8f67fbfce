// The daemon's devices from this machine's USB server (qdvhwin64), asked
// over its line protocol at every request: LIST for the devices, the
// server's name and the remote clients connected to it, BIND and RELEASE for
// the user's connect and disconnect. The server's port is the one given on
// the daemon's command line, or TCPPort of a configuration file, read again
// at every request.
#pragma once

#include "DeviceSource.h"

#include <string>

class UsbServerSource : public DeviceSource {
public:
    // port 0: TCPPort of the configuration file (its default when the file
    // is missing or does not set it).
    UsbServerSource(std::string configPath, int port);

    Availability read(DeviceSnapshot& snapshot, std::string& reason) override;
    Change requestState(const std::string& address, bool connect, std::string& reason) override;
    std::string description() const override;
    int usbServerPort() const override;

private:

    const std::string configPath_;
    const int port_;
};
