// The walk of this machine's USB tree: each host controller's root hub,
// every port of every hub below it; each connected device that is not a
// hub is named once and added to the target list, keyed by its place in
// the tree ("1-1.2"). The tree is read below a system root, so that tests
// walk trees of their own.
#pragma once

#include <cstdint>
#include <string>

class UsbDeviceOpener;
class UsbIdsDatabase;
class VHUsbEntryList;

class UsbDeviceWalk {
public:
    UsbDeviceWalk(VHUsbEntryList& target, std::string systemRoot, UsbDeviceOpener& opener, UsbIdsDatabase& ids);

    // Walks every host controller; false only when the walk of one failed.
    bool enumerateHostControllers();
    // True when the last walk could not open a part of the tree for want of
    // descriptors: devices that are there may be missing from its list.
    bool ranOutOfDescriptors() const { return ranOutOfDescriptors_; }
    // The system's own name for the ids: the product text of a connected
    // device with them, else the ids database, else the fallback text.
    std::string queryWmiUsbDeviceName(std::int32_t vendorId, std::int32_t productId);

private:
    bool walkHostControllers();
    bool enumerateHostController(const std::string& rootHub);
    void EnumerateHub(const std::string& hubName);
    void EnumerateHubPorts(const std::string& hubName, int ports);
    void nameAndAddDevice(const std::string& deviceName);
    std::string devicePath(const std::string& deviceName) const;

    VHUsbEntryList& target_;
    std::string root_;
    UsbDeviceOpener& opener_;
    UsbIdsDatabase& ids_;
    bool ranOutOfDescriptors_ = false;
};

// The system root of the walks: "/" unless the tests' system root stands in
// for it (see SystemPaths.h), or a test set one.
std::string usbSystemRoot();
void setUsbSystemRoot(const std::string& root);

// The walk of the system's tree into localUsbDeviceList.
bool enumerateHostControllers();
// The system's name for the ids, on the system's tree; never empty.
std::string queryWmiUsbDeviceName(std::int32_t vendorId, std::int32_t productId);
