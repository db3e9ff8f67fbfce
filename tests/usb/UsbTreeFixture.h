// Made-up USB trees for the walk of local USB devices: a system root with
// sys/bus/usb/devices/<device> directories as the kernel shows them
// (attribute files, the binary "descriptors" file, interface directories
// with their driver links) and dev/bus/usb/BBB/DDD device files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct FakeUsbInterface {
    std::uint8_t interfaceClass = 3;
    std::uint8_t iInterface = 0;
    std::string text;    // the kernel's "interface" text ("" = none)
    std::string driver;  // "" = no driver bound
};

struct FakeUsbDevice {
    std::string name; // "usb1", "1-1", "1-1.2"
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint8_t deviceClass = 0;
    std::uint8_t deviceSubClass = 0;
    std::uint8_t deviceProtocol = 0;
    std::uint8_t iManufacturer = 0;
    std::uint8_t iProduct = 0;
    std::uint8_t iSerialNumber = 0;
    std::uint8_t iConfiguration = 0;
    std::string manufacturer, product, serial, configuration; // "" = no file
    std::vector<FakeUsbInterface> interfaces{FakeUsbInterface{}};
    bool interfaceAssociation = false; // an IAD before the interfaces
    int maxchild = -1;                 // hubs: the port count (-1: no file)
    // The "descriptors" file: written from the fields above unless
    // `descriptors` is given; no file at all with noDescriptors.
    bool noDescriptors = false;
    std::vector<std::uint8_t> descriptors;
};

class UsbTreeFixture {
public:
    explicit UsbTreeFixture(std::string root);
    const std::string& root() const { return root_; }

    // Writes the device; bus and device numbers are counted per bus.
    void add(const FakeUsbDevice& device);
    // The device file of the named device ("<root>/dev/bus/usb/001/002").
    std::string deviceNode(const std::string& name) const;

    // The descriptors the fields give: device descriptor then configuration.
    static std::vector<std::uint8_t> descriptorsOf(const FakeUsbDevice& device);

private:
    std::string root_;
    std::vector<std::pair<std::string, std::string>> nodes_;
    std::vector<int> nextDeviceNumber_;
};

// A device with a product text and one HID interface, for short tables.
FakeUsbDevice fakeDevice(const std::string& name, std::uint16_t vendorId, std::uint16_t productId,
                         const std::string& manufacturer, const std::string& product);
FakeUsbDevice fakeHub(const std::string& name, std::uint16_t vendorId, std::uint16_t productId, int ports);

// A tree with every kind of device a walk meets: root hubs and a hub with
// children, a composite device, two identical devices, a device without
// and one with a bad descriptors file, and one with strings in two
// languages (its device file answers nothing: sysfs has the first one).
void buildMixedUsbTree(UsbTreeFixture& tree);
// The devices of that tree as describeEntry shows them, in walk order.
const std::vector<std::string>& mixedUsbTreeList();
