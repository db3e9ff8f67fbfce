// The descriptor logic of the local USB device names: the checks of a
// configuration descriptor, the test whether it names strings, and the
// string-descriptor chain read from a device (language list first, then
// manufacturer, product, serial number, configuration, interface and
// function strings, each index once per language).
#pragma once

#include "UsbStringSource.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The fields of the 18-byte device descriptor that the names use.
struct UsbDeviceDescriptor {
    std::uint8_t bDeviceClass = 0;
    std::uint8_t bDeviceSubClass = 0;
    std::uint8_t bDeviceProtocol = 0;
    std::uint16_t idVendor = 0;
    std::uint16_t idProduct = 0;
    std::uint8_t iManufacturer = 0;
    std::uint8_t iProduct = 0;
    std::uint8_t iSerialNumber = 0;
};

// Reads the fields from the raw descriptor; false when it is shorter than
// 18 bytes or not a device descriptor.
bool parseDeviceDescriptor(const std::vector<std::uint8_t>& bytes, UsbDeviceDescriptor& descriptor);

// The whole configuration descriptor (wTotalLength bytes) at the start of
// the bytes, or none with a debug line: fewer than 9 bytes or no
// configuration descriptor, a wTotalLength of 8 or less, or fewer bytes
// than wTotalLength.
std::optional<std::vector<std::uint8_t>> GetConfigDescriptor(const std::vector<std::uint8_t>& bytes);

// True when the configuration descriptor names a configuration or an
// interface string.
bool AreThereStringDescriptors(const std::vector<std::uint8_t>& configDescriptor);

struct UsbStringDescriptor {
    std::uint8_t index = 0;
    std::uint16_t language = 0;
    // The descriptor as read: bLength, bDescriptorType 3, UTF-16LE text.
    std::vector<std::uint8_t> bytes;
};
using UsbStringChain = std::vector<UsbStringDescriptor>;

// One checked string descriptor, or none (debug line on a failed check).
std::optional<UsbStringDescriptor> GetStringDescriptor(UsbStringSource& source, std::uint8_t index,
                                                       std::uint16_t language);
// Reads the index in every language into the chain unless it is there
// already; false at the first failure (what was read stays).
bool GetStringDescriptors(UsbStringSource& source, std::uint8_t index, const std::vector<std::uint16_t>& languages,
                          UsbStringChain& chain);
// The device's string chain, or none when its language list is unreadable.
std::optional<UsbStringChain> GetAllStringDescriptors(UsbStringSource& source, const UsbDeviceDescriptor& device,
                                                      const std::vector<std::uint8_t>& configDescriptor);

// The language ids of the chain's first entry.
std::vector<std::uint16_t> chainLanguages(const UsbStringChain& chain);
// The descriptor's text as UTF-8.
std::string stringDescriptorText(const UsbStringDescriptor& descriptor);
// A string descriptor holding the text (UTF-8 in, at most 126 UTF-16 units).
std::vector<std::uint8_t> makeStringDescriptor(const std::string& text);
