#include "UsbTreeFixture.h"

#include "TestPaths.h"

#include <Poco/File.h>

#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace {

void put16(std::vector<std::uint8_t>& bytes, unsigned int value) {
    bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

void writeAttribute(const std::string& path, const std::string& text) { writeTextFile(path, text + "\n"); }

std::string hex(unsigned int value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*x", digits, value);
    return text;
}

int busOf(const std::string& name) {
    if (name.compare(0, 3, "usb") == 0) return std::stoi(name.substr(3));
    return std::stoi(name.substr(0, name.find('-')));
}

} // namespace

UsbTreeFixture::UsbTreeFixture(std::string root) : root_(std::move(root)) {
    Poco::File(root_ + "/sys/bus/usb/devices").createDirectories();
}

std::vector<std::uint8_t> UsbTreeFixture::descriptorsOf(const FakeUsbDevice& d) {
    std::vector<std::uint8_t> bytes{18, 1};
    put16(bytes, 0x0200);
    bytes.insert(bytes.end(), {d.deviceClass, d.deviceSubClass, d.deviceProtocol, 64});
    put16(bytes, d.vendorId);
    put16(bytes, d.productId);
    put16(bytes, 0x0100);
    bytes.insert(bytes.end(), {d.iManufacturer, d.iProduct, d.iSerialNumber, 1});

    std::vector<std::uint8_t> config{9, 2, 0, 0, static_cast<std::uint8_t>(d.interfaces.size()), 1,
                                     d.iConfiguration, 0x80, 50};
    if (d.interfaceAssociation)
        config.insert(config.end(), {8, 11, 0, static_cast<std::uint8_t>(d.interfaces.size()), 14, 3, 0, 0});
    std::uint8_t number = 0;
    for (const FakeUsbInterface& i : d.interfaces)
        config.insert(config.end(), {9, 4, number++, 0, 1, i.interfaceClass, 0, 0, i.iInterface, 7, 5, 0x81, 3, 8,
                                     0, 10});
    config[2] = static_cast<std::uint8_t>(config.size() & 0xFF);
    config[3] = static_cast<std::uint8_t>(config.size() >> 8);
    bytes.insert(bytes.end(), config.begin(), config.end());
    return bytes;
}

void UsbTreeFixture::add(const FakeUsbDevice& d) {
    const std::string dir = root_ + "/sys/bus/usb/devices/" + d.name;
    Poco::File(dir).createDirectories();
    const int bus = busOf(d.name);
    if (static_cast<int>(nextDeviceNumber_.size()) <= bus) nextDeviceNumber_.resize(bus + 1, 1);
    const int number = nextDeviceNumber_[bus]++;
    writeAttribute(dir + "/idVendor", hex(d.vendorId, 4));
    writeAttribute(dir + "/idProduct", hex(d.productId, 4));
    writeAttribute(dir + "/bDeviceClass", hex(d.deviceClass, 2));
    writeAttribute(dir + "/bDeviceSubClass", hex(d.deviceSubClass, 2));
    writeAttribute(dir + "/bNumInterfaces", " " + std::to_string(d.interfaces.size()));
    writeAttribute(dir + "/bConfigurationValue", "1");
    writeAttribute(dir + "/busnum", std::to_string(bus));
    writeAttribute(dir + "/devnum", std::to_string(number));
    if (!d.manufacturer.empty()) writeAttribute(dir + "/manufacturer", d.manufacturer);
    if (!d.product.empty()) writeAttribute(dir + "/product", d.product);
    if (!d.serial.empty()) writeAttribute(dir + "/serial", d.serial);
    if (!d.configuration.empty()) writeAttribute(dir + "/configuration", d.configuration);
    if (d.maxchild >= 0) writeAttribute(dir + "/maxchild", std::to_string(d.maxchild));
    if (!d.noDescriptors) {
        const std::vector<std::uint8_t> bytes = d.descriptors.empty() ? descriptorsOf(d) : d.descriptors;
        std::ofstream(dir + "/descriptors", std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    for (std::size_t n = 0; n < d.interfaces.size(); ++n) {
        const std::string interfaceDir = dir + "/" + d.name + ":1." + std::to_string(n);
        Poco::File(interfaceDir).createDirectories();
        if (!d.interfaces[n].text.empty()) writeAttribute(interfaceDir + "/interface", d.interfaces[n].text);
        if (!d.interfaces[n].driver.empty())
            ::symlink(("../../../../../bus/usb/drivers/" + d.interfaces[n].driver).c_str(),
                      (interfaceDir + "/driver").c_str());
    }
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", bus, number);
    Poco::File(root_ + "/dev/bus/usb/" + hex(static_cast<unsigned int>(bus), 3)).createDirectories();
    writeTextFile(root_ + node, "");
    nodes_.emplace_back(d.name, root_ + node);
}

std::string UsbTreeFixture::deviceNode(const std::string& name) const {
    for (const auto& node : nodes_)
        if (node.first == name) return node.second;
    return "";
}

FakeUsbDevice fakeDevice(const std::string& name, std::uint16_t vendorId, std::uint16_t productId,
                         const std::string& manufacturer, const std::string& product) {
    FakeUsbDevice d;
    d.name = name;
    d.vendorId = vendorId;
    d.productId = productId;
    d.manufacturer = manufacturer;
    d.product = product;
    d.iManufacturer = manufacturer.empty() ? 0 : 1;
    d.iProduct = product.empty() ? 0 : 2;
    d.interfaces[0].driver = "usbhid";
    return d;
}

FakeUsbDevice fakeHub(const std::string& name, std::uint16_t vendorId, std::uint16_t productId, int ports) {
    FakeUsbDevice d;
    d.name = name;
    d.vendorId = vendorId;
    d.productId = productId;
    d.deviceClass = 9;
    d.maxchild = ports;
    d.interfaces[0].interfaceClass = 9;
    d.interfaces[0].driver = "hub";
    d.iProduct = 1;
    d.product = name.compare(0, 3, "usb") == 0 ? "EHCI Host Controller" : "USB2.0 Hub";
    return d;
}

void buildMixedUsbTree(UsbTreeFixture& tree) {
    tree.add(fakeHub("usb1", 0x1d6b, 0x0002, 4));
    tree.add(fakeHub("1-1", 0x05e3, 0x0608, 4));
    tree.add(fakeDevice("1-1.1", 0x046d, 0xc077, "Logitech", "USB Optical Mouse"));
    FakeUsbDevice stickA = fakeDevice("1-1.3", 0x0781, 0x5567, "SanDisk", "Cruzer Blade");
    stickA.iSerialNumber = 3;
    stickA.serial = "4C530001";
    stickA.interfaces[0] = {8, 0, "", "usb-storage"};
    tree.add(stickA);
    FakeUsbDevice webcam = fakeDevice("1-2", 0x046d, 0x0825, "Logitech", "Logitech HD Webcam");
    webcam.deviceClass = 0xEF;
    webcam.deviceSubClass = 2;
    webcam.deviceProtocol = 1;
    webcam.interfaceAssociation = true;
    webcam.interfaces = {{14, 0, "", "uvcvideo"}, {14, 0, "", "uvcvideo"}, {1, 0, "", "snd-usb-audio"},
                         {1, 0, "", "snd-usb-audio"}};
    tree.add(webcam);
    FakeUsbDevice stickB = stickA;
    stickB.name = "1-3";
    stickB.serial = "4C530002";
    tree.add(stickB);
    FakeUsbDevice mystery = fakeDevice("1-4", 0xabcd, 0x1234, "", "Mystery Gadget");
    mystery.noDescriptors = true;
    tree.add(mystery);
    tree.add(fakeHub("usb2", 0x1d6b, 0x0003, 2));
    FakeUsbDevice bad = fakeDevice("2-1", 0xabcd, 0x0001, "", "");
    bad.descriptors = UsbTreeFixture::descriptorsOf(bad);
    bad.descriptors[18 + 2] = 0xFF; // wTotalLength beyond the file
    tree.add(bad);
    tree.add(fakeDevice("2-2", 0x1209, 0x0001, "Maker", "Gadget"));
}

const std::vector<std::string>& mixedUsbTreeList() {
    static const std::vector<std::string> list{
    "Logitech USB Optical Mouse @ '1-1.1', VendorID: 0x46d ProdID : 0xc077 (discovered) - enabled",
    "SanDisk Cruzer Blade @ '1-1.3', VendorID: 0x781 ProdID : 0x5567 (discovered) - enabled",
    "Logitech Logitech HD Webcam @ '1-2', VendorID: 0x46d ProdID : 0x825 (discovered) - enabled",
    "SanDisk Cruzer Blade @ '1-3', VendorID: 0x781 ProdID : 0x5567 (discovered) - enabled",
    "Mystery Gadget @ '1-4', VendorID: 0xabcd ProdID : 0x1234 (discovered) - enabled",
    "USB Device (0xabcd, 0x1) @ '2-1', VendorID: 0xabcd ProdID : 0x1 (discovered) - enabled",
    "Maker Gadget @ '2-2', VendorID: 0x1209 ProdID : 0x1 (discovered) - enabled",
    };
    return list;
}

