// The daemon's device list until the USB server stands behind it: a JSON
// file, re-read whenever it changes,
//     {"VHSvrName": "<server name>", "VHDevList": [<device objects>]}
// (a bare array is a device list without a server name). A device object
// carries at least a non-empty "VHDevAddress"; its other members go out as
// they stand. No file means that the USB server is down.
//
// Connect and disconnect requests set a device's state on top of the file
// (bind requested, release requested) until the device leaves the file.
#pragma once

#include <Poco/JSON/Array.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <sys/types.h>

class DeviceFixture {
public:
    enum class Availability { Available, Missing, Unreadable };

    explicit DeviceFixture(std::string path);

    // Re-reads the file when it changed; reason says why it is unreadable.
    Availability refresh(std::string& reason);
    // The devices with the requested states applied (a copy).
    Poco::JSON::Array::Ptr deviceList();
    std::string serverName();
    // A connect (bind requested) or disconnect (release requested) of a
    // listed device; false with a reason for an unknown one.
    bool requestState(const std::string& address, bool connect, std::string& reason);

    const std::string& path() const { return path_; }

private:
    bool load(std::string& reason);

    const std::string path_;
    std::mutex lock_;
    bool loaded_ = false;
    bool readable_ = false;
    std::string unreadableReason_;
    // What the file was when it was read last.
    std::int64_t modified_ = -1;
    std::int64_t size_ = -1;
    ino_t inode_ = 0;
    std::string serverName_;
    Poco::JSON::Array::Ptr devices_;
    std::map<std::string, int> requested_;
};
