// Where the string descriptors of one USB device come from: the device
// itself (a control request) or what the system already read from it.
#pragma once

#include <cstdint>
#include <vector>

class UsbStringSource {
public:
    virtual ~UsbStringSource() = default;
    // Reads string descriptor `index` in `language` (index 0, language 0: the
    // device's list of language ids) as the device sends it: bLength,
    // bDescriptorType, then the UTF-16LE text. False when the request failed.
    virtual bool readStringDescriptor(std::uint8_t index, std::uint16_t language,
                                      std::vector<std::uint8_t>& descriptor) = 0;
};
