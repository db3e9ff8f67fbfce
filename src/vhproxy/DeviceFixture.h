// The daemon's devices from a JSON file that stands for the USB server
// (tests), re-read whenever it changes,
//     {"VHSvrName": "<server name>", "VHDevList": [<device objects>]}
// (a bare array is a device list without a server name). A device object
// carries at least a non-empty "VHDevAddress"; its other members go out as
// they stand. No file means that the USB server is down.
//
// Connect and disconnect requests set a device's state on top of the file
// (bind requested, release requested) until the device leaves the file.
#pragma once

#include "DeviceSource.h"

#include <Poco/JSON/Array.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <sys/types.h>

class DeviceFixture : public DeviceSource {
public:
    explicit DeviceFixture(std::string path);

    // The devices with the requested states applied (copies), after reading
    // the file again when it changed. The file knows no remote clients and
    // no owner: every user's client gets the same devices.
    Availability read(unsigned int userId, DeviceSnapshot& snapshot, std::string& reason) override;
    Change requestState(unsigned int userId, const std::string& address, bool connect,
                        std::string& reason) override;
    std::string description() const override { return path_; }

private:
    // Re-reads the file when it changed; the caller holds the lock.
    Availability refresh(std::string& reason);
    bool load(std::string& reason);
    Poco::JSON::Array::Ptr deviceList();

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
