// Names of the USB devices attached to this machine, kept in
// localUsbDeviceList: a device found by its ids is named once, from its
// string descriptors where it has them, else by the system's name for it.
#pragma once

#include "UsbDescriptors.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// What the system says of a device beside its descriptors.
struct UsbDeviceProperties {
    std::string DeviceId;
    // The system's description of the product.
    std::string DeviceDesc;
    std::string HwId;
    // The driver that serves the device ("usbccgp" for a composite device).
    std::string Service;
    std::string DeviceClass;
};

// One connected device as the walk found it.
struct UsbConnectedDevice {
    UsbDeviceDescriptor descriptor;
    UsbDeviceProperties properties;
    // The string chain, when the device's strings could be read.
    std::optional<UsbStringChain> strings;
};

// The name of a connected device: its manufacturer and product strings in
// its first language, joined by a blank, where it has both; else the name
// that systemName gives for its ids (asked for every device). Writes the
// walk's trace lines.
std::string nameConnectedDevice(const UsbConnectedDevice& device, const std::function<std::string()>& systemName);

// The name of a device attached to this machine: from the cache, else after
// a walk of the USB tree that fills it, else what the system gives for the
// ids (never empty). Names are returned without non-printable characters.
std::string getUsbDeviceName(std::int32_t vendorId, std::int32_t productId);

// The text when the system has no name for the ids: "USB Device (0x46d, 0xc52)".
std::string fallbackUsbDeviceName(std::int32_t vendorId, std::int32_t productId);
