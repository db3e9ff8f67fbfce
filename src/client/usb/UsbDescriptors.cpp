#include "UsbDescriptors.h"

#include "Logging.h"
#include "Utilities.h"

#include <Poco/TextIterator.h>
#include <Poco/UTF8Encoding.h>

namespace {

constexpr std::uint8_t configurationType = 2;
constexpr std::uint8_t stringType = 3;
constexpr std::uint8_t interfaceType = 4;
constexpr std::uint8_t otherSpeedConfigurationType = 7;
constexpr std::uint8_t interfaceAssociationType = 11;
constexpr std::uint8_t videoInterfaceClass = 14;
constexpr std::uint8_t highestVideoStringIndex = 31;

void debugLine(const std::string& text) {
    if (isDebugEnabled()) logDebug(text);
}

std::uint16_t word(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

// wTotalLength of a configuration descriptor, bounded by the bytes present.
std::size_t totalLength(const std::vector<std::uint8_t>& config) {
    if (config.size() < 4) return config.size();
    const std::size_t total = word(config, 2);
    return total < config.size() ? total : config.size();
}

} // namespace

bool parseDeviceDescriptor(const std::vector<std::uint8_t>& bytes, UsbDeviceDescriptor& descriptor) {
    if (bytes.size() < 18 || bytes[0] < 18 || bytes[1] != 1) return false;
    descriptor.bDeviceClass = bytes[4];
    descriptor.bDeviceSubClass = bytes[5];
    descriptor.bDeviceProtocol = bytes[6];
    descriptor.idVendor = word(bytes, 8);
    descriptor.idProduct = word(bytes, 10);
    descriptor.iManufacturer = bytes[14];
    descriptor.iProduct = bytes[15];
    descriptor.iSerialNumber = bytes[16];
    return true;
}

std::optional<std::vector<std::uint8_t>> GetConfigDescriptor(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() < 9 || bytes[1] != configurationType) {
        debugLine("GetConfigDescriptor (DeviceIoControl) failed, bytes invalid");
        return std::nullopt;
    }
    const std::size_t total = word(bytes, 2);
    if (total <= 8) {
        debugLine("GetConfigDescriptor (DeviceIoControl) failed, length invalid");
        return std::nullopt;
    }
    if (bytes.size() < total) {
        debugLine("GetConfigDescriptor (DeviceIoControl, 2) failed, lemgth invalid");
        return std::nullopt;
    }
    return std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(total));
}

bool AreThereStringDescriptors(const std::vector<std::uint8_t>& config) {
    const std::size_t total = totalLength(config);
    std::size_t at = 0;
    while (total - at > 2) {
        const std::size_t length = config[at];
        const std::uint8_t type = config[at + 1];
        if (length == 0 || at + length > total) return false;
        if (type == configurationType || type == otherSpeedConfigurationType) {
            if (length != 9) {
                debugLine("AreThereStringDescriptors failed, invalud length");
                return false;
            }
            if (config[at + 6] != 0) return true;
        } else if (type == interfaceType) {
            if (length != 9 && length != 12) {
                debugLine("AreThereStringDescriptors failed, invalud length (USB_INTERFACE_DESCRIPTOR)");
                return false;
            }
            if (config[at + 8] != 0) return true;
        }
        at += length;
    }
    return false;
}

std::optional<UsbStringDescriptor> GetStringDescriptor(UsbStringSource& source, std::uint8_t index,
                                                       std::uint16_t language) {
    UsbStringDescriptor descriptor;
    descriptor.index = index;
    descriptor.language = language;
    if (!source.readStringDescriptor(index, language, descriptor.bytes)) return std::nullopt;
    const std::size_t count = descriptor.bytes.size();
    if (count < 2 || descriptor.bytes[0] != count) {
        debugLine("GetStringDescriptor (DeviceIoControl) failed, return value invalid " + std::to_string(count));
        return std::nullopt;
    }
    if (descriptor.bytes[1] != stringType) {
        debugLine("GetStringDescriptor (DeviceIoControl) failed, wrong descriptor type " +
                  toHexString(descriptor.bytes[1]));
        return std::nullopt;
    }
    if ((descriptor.bytes[0] & 1) != 0) {
        debugLine("GetStringDescriptor (DeviceIoControl) failed, result not aligned");
        return std::nullopt;
    }
    return descriptor;
}

bool GetStringDescriptors(UsbStringSource& source, std::uint8_t index, const std::vector<std::uint16_t>& languages,
                          UsbStringChain& chain) {
    for (const UsbStringDescriptor& held : chain)
        if (held.index == index) return true;
    for (std::uint16_t language : languages) {
        std::optional<UsbStringDescriptor> descriptor = GetStringDescriptor(source, index, language);
        if (!descriptor) return false;
        chain.push_back(std::move(*descriptor));
    }
    return true;
}

std::optional<UsbStringChain> GetAllStringDescriptors(UsbStringSource& source, const UsbDeviceDescriptor& device,
                                                      const std::vector<std::uint8_t>& config) {
    std::optional<UsbStringDescriptor> languageList = GetStringDescriptor(source, 0, 0);
    if (!languageList) return std::nullopt;
    UsbStringChain chain{std::move(*languageList)};
    const std::vector<std::uint16_t> languages = chainLanguages(chain);

    for (std::uint8_t index : {device.iManufacturer, device.iProduct, device.iSerialNumber})
        if (index != 0) GetStringDescriptors(source, index, languages, chain);

    bool video = false;
    const std::size_t total = totalLength(config);
    std::size_t at = 0;
    while (total - at > 2) {
        const std::size_t length = config[at];
        const std::uint8_t type = config[at + 1];
        if (length == 0 || at + length > total) break;
        std::uint8_t index = 0;
        if (type == configurationType) {
            if (length != 9) {
                debugLine("GetAllStringDescriptors failed, length invalid");
                break;
            }
            index = config[at + 6];
        } else if (type == interfaceType) {
            if (length != 9 && length != 12) {
                debugLine("GetAllStringDescriptors failed, length invalid (USB_INTERFACE_DESCRIPTOR)");
                break;
            }
            index = config[at + 8];
            if (config[at + 5] == videoInterfaceClass) video = true;
        } else if (type == interfaceAssociationType) {
            if (length < 8) {
                debugLine("GetAllStringDescriptors failed, length invalid (USB_IAD_DESCRIPTOR)");
                break;
            }
            index = config[at + 7];
        }
        if (index != 0) GetStringDescriptors(source, index, languages, chain);
        at += length;
    }

    if (video)
        for (std::uint8_t index = 1; index <= highestVideoStringIndex; ++index)
            if (!GetStringDescriptors(source, index, languages, chain)) break;
    return chain;
}

std::vector<std::uint16_t> chainLanguages(const UsbStringChain& chain) {
    std::vector<std::uint16_t> languages;
    if (chain.empty()) return languages;
    const std::vector<std::uint8_t>& bytes = chain.front().bytes;
    const std::size_t length = bytes.empty() ? 0 : bytes[0];
    for (std::size_t at = 2; at + 1 < length && at + 1 < bytes.size(); at += 2) languages.push_back(word(bytes, at));
    return languages;
}

std::string stringDescriptorText(const UsbStringDescriptor& descriptor) {
    const std::vector<std::uint8_t>& bytes = descriptor.bytes;
    std::u16string text;
    const std::size_t length = bytes.empty() ? 0 : bytes[0];
    for (std::size_t at = 2; at + 1 < length && at + 1 < bytes.size(); at += 2) text.push_back(word(bytes, at));
    return toUtf8(text);
}

std::vector<std::uint8_t> makeStringDescriptor(const std::string& text) {
    std::vector<std::uint8_t> bytes{2, stringType};
    Poco::UTF8Encoding utf8;
    auto put = [&bytes](std::uint32_t unit) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    };
    for (Poco::TextIterator it(text, utf8), end(text); it != end; ++it) {
        std::uint32_t c = *it < 0 ? 0xFFFD : static_cast<std::uint32_t>(*it);
        const std::size_t units = c > 0xFFFF ? 2 : 1;
        if (bytes.size() + 2 * units > 254) break;
        if (units == 2) {
            c -= 0x10000;
            put(0xD800 | (c >> 10));
            put(0xDC00 | (c & 0x3FF));
        } else {
            put(c);
        }
    }
    bytes[0] = static_cast<std::uint8_t>(bytes.size());
    return bytes;
}
