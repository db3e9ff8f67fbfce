// Names of local USB devices: the descriptor checks, the string chain, the
// naming rules, and walks of made-up USB trees (hubs with children, a
// composite device, two identical devices, missing and bad descriptors,
// strings in two languages, a device that cannot be opened).
#include "LocalUsbDeviceNames.h"
#include "LogCapture.h"
#include "SanitizerBuild.h"
#include "TestPaths.h"
#include "UsbDeviceOpener.h"
#include "UsbDeviceWalk.h"
#include "UsbIdsDatabase.h"
#include "UsbTreeFixture.h"
#include "VHUsbEntryList.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>

namespace {

// The usb.ids of these tests, also for the system's database.
const bool idsChosen = ::setenv("QDK_USB_IDS", testSourcePath("usb/usb.ids.fixture").c_str(), 1) == 0;

using DescriptorTable = std::map<std::pair<std::uint8_t, std::uint16_t>, std::vector<std::uint8_t>>;

// Strings in the given languages: index -> one text per language.
DescriptorTable stringTable(const std::vector<std::uint16_t>& languages,
                            const std::map<std::uint8_t, std::vector<std::string>>& texts) {
    DescriptorTable table;
    std::vector<std::uint8_t> list{static_cast<std::uint8_t>(2 + 2 * languages.size()), 3};
    for (std::uint16_t language : languages) {
        list.push_back(static_cast<std::uint8_t>(language & 0xFF));
        list.push_back(static_cast<std::uint8_t>(language >> 8));
    }
    table[{0, 0}] = list;
    for (const auto& [index, perLanguage] : texts)
        for (std::size_t n = 0; n < languages.size() && n < perLanguage.size(); ++n)
            table[{index, languages[n]}] = makeStringDescriptor(perLanguage[n]);
    return table;
}

class TableSource : public UsbStringSource {
public:
    explicit TableSource(DescriptorTable table) : table_(std::move(table)) {}
    bool readStringDescriptor(std::uint8_t index, std::uint16_t language, std::vector<std::uint8_t>& out) override {
        requests.emplace_back(index, language);
        auto it = table_.find({index, language});
        if (it == table_.end()) return false;
        out = it->second;
        return true;
    }
    std::vector<std::pair<std::uint8_t, std::uint16_t>> requests;

private:
    DescriptorTable table_;
};

// Opens the devices of its table; every other device is refused.
class TableOpener : public UsbDeviceOpener {
public:
    std::unique_ptr<UsbStringSource> open(const std::string& node, std::string& reason) override {
        auto it = devices.find(node);
        if (it == devices.end()) {
            reason = node + ": Permission denied";
            return nullptr;
        }
        return std::make_unique<TableSource>(it->second);
    }
    std::map<std::string, DescriptorTable> devices;
};

std::vector<std::string> describeAll(VHUsbEntryList& list) {
    std::vector<std::string> lines;
    for (const auto& entry : list.entries()) lines.push_back(describeEntry(*entry));
    return lines;
}

class LocalUsbWalk : public ::testing::Test {
protected:
    TempDir dir;
    UsbTreeFixture tree{dir.path()};
    UsbIdsDatabase ids{{testSourcePath("usb/usb.ids.fixture")}};
    VHUsbEntryList found;
    LogCapture log{"trace"};
};

} // namespace

TEST(UsbDescriptors, StringDescriptorChecks) {
    struct Case {
        std::vector<std::uint8_t> reply;
        bool answered;
        const char* line; // "" when accepted or failed silently
        const char* text;
    } cases[] = {
        {{4, 3, 'a', 0}, true, "", "a"},
        {{2, 3}, true, "", ""},
        {{}, true, "GetStringDescriptor (DeviceIoControl) failed, return value invalid 0", ""},
        {{6, 3, 'a', 0}, true, "GetStringDescriptor (DeviceIoControl) failed, return value invalid 4", ""},
        {{4, 2, 'a', 0}, true, "GetStringDescriptor (DeviceIoControl) failed, wrong descriptor type 0x2", ""},
        {{3, 3, 'a'}, true, "GetStringDescriptor (DeviceIoControl) failed, result not aligned", ""},
        {{4, 3, 'a', 0}, false, "", ""},
    };
    for (const Case& c : cases) {
        LogCapture log{"debug"};
        TableSource source(c.answered ? DescriptorTable{{{5, 0x409}, c.reply}} : DescriptorTable{});
        std::optional<UsbStringDescriptor> read = GetStringDescriptor(source, 5, 0x409);
        const bool accepted = c.answered && *c.line == '\0';
        ASSERT_EQ(read.has_value(), accepted) << c.line;
        if (accepted) {
            EXPECT_EQ(stringDescriptorText(*read), c.text);
        }
        if (*c.line != '\0') {
            EXPECT_TRUE(log.contains(c.line)) << c.line;
        }
        if (!c.answered) {
            EXPECT_TRUE(log.lines().empty());
        }
    }
}

TEST(UsbDescriptors, ConfigurationChecks) {
    FakeUsbDevice device = fakeDevice("1-1", 1, 2, "M", "P");
    const std::vector<std::uint8_t> all = UsbTreeFixture::descriptorsOf(device);
    const std::vector<std::uint8_t> config(all.begin() + 18, all.end());
    struct Case {
        std::vector<std::uint8_t> bytes;
        const char* line;
    } cases[] = {
        {config, ""},
        {std::vector<std::uint8_t>(config.begin(), config.begin() + 8), "failed, bytes invalid"},
        {{9, 4, 0, 0, 0, 0, 0, 0, 0}, "failed, bytes invalid"},
        {{9, 2, 8, 0, 0, 0, 0, 0, 0}, "failed, length invalid"},
        {std::vector<std::uint8_t>(config.begin(), config.end() - 1), "(DeviceIoControl, 2) failed, lemgth invalid"},
    };
    for (const Case& c : cases) {
        LogCapture log{"debug"};
        std::optional<std::vector<std::uint8_t>> read = GetConfigDescriptor(c.bytes);
        EXPECT_EQ(read.has_value(), *c.line == '\0') << c.line;
        if (read) {
            EXPECT_EQ(*read, config);
        } else {
            EXPECT_TRUE(log.contains(c.line)) << c.line;
        }
    }
}

TEST(UsbDescriptors, StringIndexesInTheConfiguration) {
    struct Case {
        std::vector<std::uint8_t> config;
        bool strings;
    } cases[] = {
        {{9, 2, 18, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 1, 3, 0, 0, 0}, false},
        {{9, 2, 18, 0, 1, 1, 4, 0x80, 50, 9, 4, 0, 0, 1, 3, 0, 0, 0}, true},  // configuration string
        {{9, 2, 18, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 1, 3, 0, 0, 5}, true},  // interface string
        {{9, 2, 18, 0, 1, 1, 0, 0x80, 50, 0, 4, 0, 0, 1, 3, 0, 0, 5}, false}, // length 0 ends the walk
        {{9, 2, 18, 0, 1, 1, 0, 0x80, 50, 8, 4, 0, 0, 1, 3, 0, 0, 5}, false}, // interface of 8 bytes
        {{9, 2, 16, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 1, 3, 0, 0, 5}, false}, // beyond wTotalLength
    };
    for (std::size_t n = 0; n < std::size(cases); ++n)
        EXPECT_EQ(AreThereStringDescriptors(cases[n].config), cases[n].strings) << n;
}

TEST(UsbDescriptors, ChainOrder) {
    FakeUsbDevice device = fakeDevice("1-1", 1, 2, "M", "P");
    device.iSerialNumber = 3;
    device.iConfiguration = 4;
    device.interfaces = {{14, 5, "", ""}, {14, 2, "", ""}}; // video; index 2 repeated
    const std::vector<std::uint8_t> all = UsbTreeFixture::descriptorsOf(device);
    const std::vector<std::uint8_t> config(all.begin() + 18, all.end());
    UsbDeviceDescriptor d;
    ASSERT_TRUE(parseDeviceDescriptor(all, d));
    TableSource source(stringTable({0x409, 0x407}, {{1, {"M", "M-de"}}, {2, {"P", "P-de"}}, {3, {"S", "S-de"}},
                                                    {4, {"C", "C-de"}}, {5, {"I", "I-de"}}, {6, {"V6", "V6-de"}}}));
    std::optional<UsbStringChain> chain = GetAllStringDescriptors(source, d, config);
    ASSERT_TRUE(chain);
    std::string order;
    for (const UsbStringDescriptor& entry : *chain)
        order += std::to_string(entry.index) + "/" + std::to_string(entry.language) + " ";
    // Language list, manufacturer, product, serial, configuration, the
    // interface string; then, for the video interface, 1 to 31 until one fails.
    EXPECT_EQ(order, "0/0 1/1033 1/1031 2/1033 2/1031 3/1033 3/1031 4/1033 4/1031 5/1033 5/1031 6/1033 6/1031 ");
    EXPECT_EQ(source.requests.back(), std::make_pair(std::uint8_t(7), std::uint16_t(0x409)));
    EXPECT_EQ(chainLanguages(*chain), (std::vector<std::uint16_t>{0x409, 0x407}));

    TableSource silent(DescriptorTable{});
    EXPECT_FALSE(GetAllStringDescriptors(silent, d, config));
}

TEST(UsbDeviceNaming, NamesFromStringsOrFromTheSystem) {
    struct Case {
        const char* what;
        std::uint8_t iManufacturer, iProduct, iSerial;
        std::vector<std::uint16_t> languages;
        std::map<std::uint8_t, std::vector<std::string>> texts;
        const char* service;
        const char* name;
        const char* calcLine;
    } cases[] = {
        {"one language", 1, 2, 0, {0x409}, {{1, {"Maker"}}, {2, {"Gadget"}}}, "usbhid", "Maker Gadget",
         "Name (calc):      System Name"},
        {"two languages", 1, 2, 0, {0x409, 0x407}, {{1, {"Maker", "Hersteller"}}, {2, {"Gadget", "Geraet"}}}, "",
         "Maker Gadget", ""},
        {"only a product string", 0, 2, 0, {0x409}, {{2, {"Gadget"}}}, "", "System Name", ""},
        {"product and serial, no manufacturer", 0, 2, 3, {0x409}, {{2, {"Gadget"}}, {3, {"123"}}}, "",
         "System Name", ""},
        {"an empty manufacturer string", 1, 2, 0, {0x409}, {{1, {""}}, {2, {"Gadget"}}}, "", "System Name", ""},
        {"no language", 1, 2, 0, {}, {}, "", "System Name", ""},
        {"composite, product begins with the maker", 1, 2, 0, {0x409}, {{1, {"Maker"}}, {2, {"Maker Cam"}}},
         "usbccgp", "Maker Maker Cam", "Name (calc):      Maker Cam"},
        {"composite, other product", 1, 2, 0, {0x409}, {{1, {"Maker"}}, {2, {"Cam"}}}, "usbccgp", "Maker Cam",
         "Name (calc):      Maker, Cam"},
        {"composite without strings", 0, 0, 0, {0x409}, {}, "usbccgp", "System Name",
         "Name (calc):      System Name"},
    };
    for (const Case& c : cases) {
        LogCapture log{"trace"};
        UsbConnectedDevice device;
        device.descriptor.iManufacturer = c.iManufacturer;
        device.descriptor.iProduct = c.iProduct;
        device.descriptor.iSerialNumber = c.iSerial;
        device.properties.Service = c.service;
        TableSource source(stringTable(c.languages, c.texts));
        device.strings = GetAllStringDescriptors(source, device.descriptor, {});
        int asked = 0;
        EXPECT_EQ(nameConnectedDevice(device, [&] { ++asked; return std::string("System Name"); }), c.name)
            << c.what;
        EXPECT_EQ(asked, 1) << c.what;
        if (*c.calcLine != '\0') {
            EXPECT_TRUE(log.contains(c.calcLine)) << c.what;
        }
        EXPECT_EQ(log.contains("Setting product name to "), std::string(c.name) != "System Name") << c.what;
        EXPECT_EQ(log.texts().front(), std::string(53, '-')) << c.what;
    }
}

TEST_F(LocalUsbWalk, MixedTree) {
    buildMixedUsbTree(tree);
    TableOpener opener;
    opener.devices[tree.deviceNode("2-2")] =
        stringTable({0x409, 0x407}, {{1, {"Maker", "Hersteller"}}, {2, {"Gadget", "Geraet"}}});
    UsbDeviceWalk walk(found, tree.root(), opener, ids);
    EXPECT_TRUE(walk.enumerateHostControllers());
    EXPECT_EQ(describeAll(found), mixedUsbTreeList());

    // The devices that could not be opened are named from sysfs, with the reason.
    EXPECT_TRUE(log.contains("USB device 1-1.1 not opened (" + tree.deviceNode("1-1.1") + ": Permission denied)"));
    EXPECT_FALSE(log.contains("USB device 2-2 not opened"));
    EXPECT_TRUE(log.contains("Host controller usb1: 2.0 root hub"));
    EXPECT_TRUE(log.contains("Device 1-1.1: Bus 001 Device 003: ID 046d:c077 Logitech, Inc. M105 Optical Mouse"));
    EXPECT_TRUE(log.contains("Name (setupapi):  M105 Optical Mouse"));
    EXPECT_TRUE(log.contains("Service: 'usbhid'"));
    EXPECT_TRUE(log.contains("Service: 'usbccgp'"));
    EXPECT_TRUE(log.contains("Service: 'usb-storage'"));
    EXPECT_TRUE(log.contains("Name (calc):      Logitech HD Webcam"));
    EXPECT_TRUE(log.contains("Setting product name to Maker Gadget"));
    // The language list is ids, not text.
    EXPECT_TRUE(log.contains("String 1 0x409 0x407"));
    EXPECT_TRUE(log.contains("String 5 Geraet"));
    EXPECT_TRUE(log.contains("String 4 4C530001"));
    EXPECT_TRUE(log.contains("Can't read the device descriptor of 1-4: "));
    EXPECT_TRUE(log.contains("GetConfigDescriptor (DeviceIoControl, 2) failed, lemgth invalid"));
    // Hubs are walked, never listed.
    for (const auto& entry : found.entries()) EXPECT_NE(entry->deviceClass, 9);
}

TEST_F(LocalUsbWalk, WalkWithoutPortCountsAndWithoutUsbBus) {
    // No sys/bus/usb at all: an empty list, not a failure.
    TempDir empty;
    TableOpener opener;
    UsbDeviceWalk nothing(found, empty.path(), opener, ids);
    EXPECT_TRUE(nothing.enumerateHostControllers());
    EXPECT_TRUE(found.empty());
    EXPECT_TRUE(log.contains("enumerateHostControllers: can't read " + empty.path() + "/sys/bus/usb/devices"));

    FakeUsbDevice root = fakeHub("usb3", 0x1d6b, 0x0002, 0);
    root.maxchild = -1;
    tree.add(root);
    tree.add(fakeDevice("3-2", 0x046d, 0xc077, "Logitech", "USB Optical Mouse"));
    tree.add(fakeDevice("3-10", 0x0781, 0x5567, "SanDisk", "Cruzer Blade"));
    UsbDeviceWalk walk(found, tree.root(), opener, ids);
    EXPECT_TRUE(walk.enumerateHostControllers());
    ASSERT_EQ(found.size(), 2u);
    EXPECT_TRUE(log.contains("EnumerateHub: no port count for usb3, walking 10 ports"));
}

// A walk that cannot open parts of the tree for want of descriptors says
// so, for its list may lack devices that are there (the USB server then
// keeps the list it has); the next walk with descriptors to spare is whole.
TEST_F(LocalUsbWalk, WalkOutOfDescriptorsSaysSo) {
#if defined(QDK_ADDRESS_SANITIZER)
    GTEST_SKIP() << "the sanitizers need descriptors of their own";
#endif
    buildMixedUsbTree(tree);
    TableOpener opener;
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit reduced = saved;
    reduced.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &reduced), 0);
    std::vector<int> taken;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken.push_back(fd);
    UsbDeviceWalk starved(found, tree.root(), opener, ids);
    starved.enumerateHostControllers();
    const bool ranOut = starved.ranOutOfDescriptors();
    for (int fd : taken) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_TRUE(ranOut);

    VHUsbEntryList whole;
    UsbDeviceWalk walk(whole, tree.root(), opener, ids);
    EXPECT_TRUE(walk.enumerateHostControllers());
    EXPECT_FALSE(walk.ranOutOfDescriptors());
    EXPECT_EQ(describeAll(whole), mixedUsbTreeList());
}

TEST_F(LocalUsbWalk, SystemNamesByIds) {
    buildMixedUsbTree(tree);
    TableOpener opener;
    UsbDeviceWalk walk(found, tree.root(), opener, ids);
    struct Case {
        std::int32_t vendorId, productId;
        const char* name;
    } cases[] = {
        {0x046d, 0xc077, "USB Optical Mouse"},          // a connected device's own text
        {0x0781, 0x5567, "Cruzer Blade"},
        {0x1d6b, 0x0003, "EHCI Host Controller"},       // root hubs are devices too
        {0x046d, 0x0825, "Logitech HD Webcam"},
        {0x05e3, 0x0608, "USB2.0 Hub"},
        {0x1d6b, 0x0001, "USB Device (0x1d6b, 0x1)"},   // not in the database
        {0x046d, 0x0a5c, "USB Device (0x46d, 0xa5c)"},
        {0xabcd, 0x0001, "USB Device (0xabcd, 0x1)"},   // vendor known, product not
        {0x046d, 0x0c52, "USB Device (0x46d, 0xc52)"},
        {0, 0, "USB Device (0x0, 0x0)"},
    };
    for (const Case& c : cases) EXPECT_EQ(walk.queryWmiUsbDeviceName(c.vendorId, c.productId), c.name);

    // The database names a device that is not attached.
    TempDir other;
    UsbDeviceWalk elsewhere(found, other.path(), opener, ids);
    EXPECT_EQ(elsewhere.queryWmiUsbDeviceName(0x046d, 0xc077), "Logitech, Inc. M105 Optical Mouse");
    EXPECT_EQ(elsewhere.queryWmiUsbDeviceName(0x1d6b, 0x0002), "Linux Foundation 2.0 root hub");
}

TEST_F(LocalUsbWalk, DeviceThatMayNotBeOpenedIsNamedFromSysfs) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to take another user's rights";
    tree.add(fakeHub("usb1", 0x1d6b, 0x0002, 1));
    FakeUsbDevice mouse = fakeDevice("1-1", 0x046d, 0xc077, "Logitech", "USB Optical Mouse");
    mouse.iSerialNumber = 3;
    mouse.serial = "0001";
    tree.add(mouse);
    // World-readable tree, device file for its owner only, as usbfs has it.
    for (const char* p : {"", "/sys", "/sys/bus", "/sys/bus/usb", "/sys/bus/usb/devices", "/dev", "/dev/bus",
                          "/dev/bus/usb", "/dev/bus/usb/001"})
        ::chmod((tree.root() + p).c_str(), 0755);
    ::chmod(tree.deviceNode("1-1").c_str(), 0600);

    std::unique_ptr<UsbDeviceOpener> opener = makeUsbDeviceOpener();
    UsbDeviceWalk walk(found, tree.root(), *opener, ids);
    ASSERT_EQ(::seteuid(65534), 0);
    walk.enumerateHostControllers();
    ASSERT_EQ(::seteuid(0), 0);
    EXPECT_EQ(describeAll(found),
              std::vector<std::string>{
                  "Logitech USB Optical Mouse @ '1-1', VendorID: 0x46d ProdID : 0xc077 (discovered) - enabled"});
    EXPECT_TRUE(log.contains("USB device 1-1 not opened (" + tree.deviceNode("1-1") + ": Permission denied)"))
        << log.texts().size();

    // As root the file opens, but it is no USB device: named from sysfs too.
    clearEntryList(found);
    log.clear();
    walk.enumerateHostControllers();
    EXPECT_EQ(found.size(), 1u);
    EXPECT_TRUE(log.contains("USB device 1-1 not opened (" + tree.deviceNode("1-1") + ": libusb: "));
}

TEST_F(LocalUsbWalk, NamesComeFromTheCacheOnceWalked) {
    buildMixedUsbTree(tree);
    setUsbSystemRoot(tree.root());
    EXPECT_EQ(getUsbDeviceName(0x0781, 0x5567), "SanDisk Cruzer Blade");
    // Every device is cached by the one walk; a later device is not seen.
    const std::size_t cached = localUsbDeviceList.size();
    EXPECT_EQ(cached, mixedUsbTreeList().size());
    tree.add(fakeDevice("1-1.2", 0x046d, 0x0a5c, "Late", "Device"));
    EXPECT_EQ(getUsbDeviceName(0x046d, 0xc077), "Logitech USB Optical Mouse");
    EXPECT_EQ(localUsbDeviceList.size(), cached);
    // A miss walks again and then asks the system.
    EXPECT_EQ(getUsbDeviceName(0x1d6b, 0x0001), "USB Device (0x1d6b, 0x1)");
    EXPECT_EQ(getUsbDeviceName(0x046d, 0x0a5c), "Late Device");

    // A cached name loses its non-printable characters, and keeps them lost.
    findEntryByIds(localUsbDeviceList, 0x046d, 0xc077)->prettyName = "Logi\ttech\x80";
    EXPECT_EQ(getUsbDeviceName(0x046d, 0xc077), "Logitech");
    EXPECT_EQ(findEntryByIds(localUsbDeviceList, 0x046d, 0xc077)->prettyName, "Logitech");
    clearEntryList(localUsbDeviceList);
    setUsbSystemRoot("/");
}

TEST_F(LocalUsbWalk, ThisMachine) {
    std::unique_ptr<UsbDeviceOpener> opener = makeUsbDeviceOpener();
    UsbDeviceWalk walk(found, "/", *opener, UsbIdsDatabase::system());
    EXPECT_TRUE(walk.enumerateHostControllers());
    struct stat status {};
    if (::stat("/sys/bus/usb/devices", &status) != 0) {
        EXPECT_TRUE(found.empty());
        EXPECT_TRUE(log.contains("enumerateHostControllers: can't read /sys/bus/usb/devices: No such file"));
    }
    for (const auto& entry : found.entries()) {
        EXPECT_FALSE(entry->prettyName.empty());
        const std::string device = "/sys/bus/usb/devices/" + entry->address;
        EXPECT_EQ(std::stoi(readTextFile(device + "/idVendor"), nullptr, 16), entry->vendorId);
        EXPECT_EQ(std::stoi(readTextFile(device + "/idProduct"), nullptr, 16), entry->productId);
    }
}
