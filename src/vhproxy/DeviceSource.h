// Where the daemon's devices come from: this machine's USB server (the
// program qdvhwin64, which the client's USB module starts), or a device-list
// file that stands for it in tests. The daemon chooses one at its start.
#pragma once

#include <Poco/JSON/Array.h>

#include <string>

// The devices as one read found them.
struct DeviceSnapshot {
    Poco::JSON::Array::Ptr devices;  // VHDevList device objects
    std::string serverName;          // empty when the source names none
    int remoteClients = 0;           // remote VirtualHere clients connected to the USB server
};

class DeviceSource {
public:
    enum class Availability { Available, Missing, Unreadable };
    enum class Change { Done, NoDevice, Unavailable };

    virtual ~DeviceSource() = default;

    // Reads the devices. Missing: the USB server is down (no file); Unreadable:
    // what came cannot be used. The reason says why.
    virtual Availability read(DeviceSnapshot& snapshot, std::string& reason) = 0;
    // The user's connect (bind requested) or disconnect (release requested)
    // of a listed device. NoDevice: none has the address; Unavailable: the
    // USB server could not be asked. The reason says why.
    virtual Change requestState(const std::string& address, bool connect, std::string& reason) = 0;
    // Where the devices come from, for the log.
    virtual std::string description() const = 0;
    // The port of the USB server that is asked; 0 when no USB server is.
    virtual int usbServerPort() const { return 0; }
};
