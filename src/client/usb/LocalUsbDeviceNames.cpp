#include "LocalUsbDeviceNames.h"

#include "Logging.h"
#include "UsbDeviceWalk.h"
#include "Utilities.h"
#include "VHUsbEntryList.h"

namespace {

void traceLine(const std::string& text) {
    if (isTraceEnabled()) logTrace(text);
}

// The text of the string `index` in `language`, when the chain holds it
// and it is not empty.
std::optional<std::string> chainText(const UsbStringChain& chain, std::uint8_t index, std::uint16_t language) {
    if (index == 0) return std::nullopt;
    for (std::size_t i = 1; i < chain.size(); ++i) {
        if (chain[i].index != index || chain[i].language != language) continue;
        std::string text = stringDescriptorText(chain[i]);
        if (text.empty()) return std::nullopt;
        return text;
    }
    return std::nullopt;
}

std::string hex(std::uint32_t value) { return toHexString(value); }

// String 0 holds language ids, not text: "0x409 0x407".
std::string languageList(const UsbStringChain& chain) {
    std::string text;
    for (const std::uint16_t language : chainLanguages(chain)) text += (text.empty() ? "" : " ") + hex(language);
    return text;
}

} // namespace

std::string nameConnectedDevice(const UsbConnectedDevice& device, const std::function<std::string()>& systemName) {
    const UsbDeviceDescriptor& d = device.descriptor;
    traceLine(std::string(53, '-'));
    const std::string wmiName = systemName();
    // Manufacturer and product in the device's first language.
    std::optional<std::string> manufacturer;
    std::optional<std::string> product;
    if (device.strings) {
        const std::vector<std::uint16_t> languages = chainLanguages(*device.strings);
        if (!languages.empty()) {
            manufacturer = chainText(*device.strings, d.iManufacturer, languages.front());
            product = chainText(*device.strings, d.iProduct, languages.front());
        }
    }
    const bool bothStrings = manufacturer && product;

    std::string calc = wmiName;
    if (device.properties.Service == "usbccgp" && bothStrings)
        calc = product->compare(0, manufacturer->size(), *manufacturer) == 0 ? *product
                                                                             : *manufacturer + ", " + *product;
    if (isTraceEnabled()) {
        traceLine("Name (com):       " + wmiName);
        traceLine("Name (setupapi):  " + device.properties.DeviceDesc);
        traceLine("Name (calc):      " + calc);
        traceLine("Vendor:   " + hex(d.idVendor));
        traceLine("Product:  " + hex(d.idProduct));
        traceLine("Class:    " + hex(d.bDeviceClass));
        traceLine("Subclass: " + hex(d.bDeviceSubClass));
        traceLine("Service: '" + device.properties.Service + "'");
        if (device.properties.Service == "vhsd_USB") traceLine("vhsd_USB service found");
    }
    const std::string name = bothStrings ? *manufacturer + " " + *product : calc;
    if (bothStrings) traceLine("Setting product name to " + name);
    if (device.strings && isTraceEnabled()) {
        int n = 0;
        for (const UsbStringDescriptor& entry : *device.strings) {
            const std::string text = entry.index == 0 ? languageList(*device.strings) : stringDescriptorText(entry);
            if (!text.empty()) traceLine("String " + std::to_string(++n) + " " + text);
        }
    }
    return name;
}

std::string getUsbDeviceName(std::int32_t vendorId, std::int32_t productId) {
    for (int pass = 0; pass < 2; ++pass) {
        {
            ScopedOwnerLock guard(localUsbDeviceList.lock());
            if (VHUsbEntry* cached = findEntryByIds(localUsbDeviceList, vendorId, productId)) {
                stripNonPrintable(cached->prettyName);
                return cached->prettyName;
            }
        }
        if (pass == 0) enumerateHostControllers();
    }
    return queryWmiUsbDeviceName(vendorId, productId);
}

std::string fallbackUsbDeviceName(std::int32_t vendorId, std::int32_t productId) {
    return "USB Device (" + hex(static_cast<std::uint32_t>(vendorId)) + ", " +
           hex(static_cast<std::uint32_t>(productId)) + ")";
}
