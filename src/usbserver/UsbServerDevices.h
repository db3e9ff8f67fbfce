// The devices that the USB server exports, each with its state towards the
// remote machine: exported (1), bind requested (3), bound (2), release
// requested (4). The devices come from this machine's USB tree, or from a
// device-list file that stands for it (tests, demonstrations); either is
// read again when it changed, and a device that left it is forgotten with
// its state.
#pragma once

#include "VHUsbEntry.h"

#include <Poco/JSON/Array.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class UsbServerDevices {
public:
    // Requests on one device: from this machine's side (the vhproxy daemon)
    // BIND and RELEASE, from the remote side ATTACH and DETACH.
    enum class Request { Bind, Release, Attach, Detach };

    // With a fixture path the devices come from that file, else from the
    // USB tree under systemRoot.
    UsbServerDevices(std::string fixturePath, std::string systemRoot);

    // The devices in list order as VHDevList device objects, after reading
    // the source again when it changed; the fixture's server name, if any.
    Poco::JSON::Array::Ptr list(std::string& fixtureServerName);

    // Applies the request; false when no listed device has the address.
    // The state afterwards in newState.
    bool apply(const std::string& address, Request request, std::int32_t& newState);

private:
    void refresh();
    bool readFixture(std::vector<VHUsbEntry>& devices);
    bool readTree(std::vector<VHUsbEntry>& devices);
    // What tells whether the source changed; false when it cannot be read
    // now.
    bool treeSignature(std::string& signature) const;

    const std::string fixturePath_;
    const std::string systemRoot_;
    std::mutex lock_;
    std::vector<VHUsbEntry> devices_;
    std::string fixtureServerName_;
    std::string signature_;
    bool read_ = false;
};
