// Where the daemon's devices come from: this machine's USB server (the
// program qdvhwin64, which the client's USB module starts), or a device-list
// file that stands for it in tests. The daemon chooses one at its start.
// Every read and change is made for the user whose client asks: the USB
// server of one user is no source for another (root's client excepted).
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
    // Foreign: the USB server's port is held by a program that is not the
    // asking user's (or whose owner cannot be told); it was not asked.
    enum class Availability { Available, Missing, Unreadable, Foreign };
    enum class Change { Done, NoDevice, Unavailable, Foreign };

    virtual ~DeviceSource() = default;

    // Reads the devices for the client of the user. Missing: the USB server
    // is down (no file); Unreadable: what came cannot be used. The reason
    // says why; for Foreign it is the user's to read.
    virtual Availability read(unsigned int userId, DeviceSnapshot& snapshot, std::string& reason) = 0;
    // The user's connect (bind requested) or disconnect (release requested)
    // of a listed device, for the client of the user. NoDevice: none has the
    // address; Unavailable: the USB server could not be asked; Foreign as
    // for read. The reason says why.
    virtual Change requestState(unsigned int userId, const std::string& address, bool connect,
                                std::string& reason) = 0;
    // Where the devices come from, for the log.
    virtual std::string description() const = 0;
    // The port of the USB server that is asked; 0 when no USB server is.
    virtual int usbServerPort() const { return 0; }
};
