// Opens a USB device of this machine for requests of its own, so that its
// string descriptors can be read from the device.
#pragma once

#include "UsbStringSource.h"

#include <memory>
#include <string>

class UsbDeviceOpener {
public:
    virtual ~UsbDeviceOpener() = default;
    // The device's string source, or null with the reason (for the log).
    // deviceNode is the device's file in the system's device tree.
    virtual std::unique_ptr<UsbStringSource> open(const std::string& deviceNode, std::string& reason) = 0;
};

// The platform's opener.
std::unique_ptr<UsbDeviceOpener> makeUsbDeviceOpener();
