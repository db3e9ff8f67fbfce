// Linux: the USB tree is read from sysfs (<root>/sys/bus/usb/devices):
// root hubs "usbN", devices by their place "N-p[.q...]", hubs by
// bDeviceClass 9 with their port count in "maxchild". A device's
// descriptors come from its binary "descriptors" file (device descriptor,
// then its configurations as the device sent them); its strings from the
// device through its usbfs file <root>/dev/bus/usb/BBB/DDD, or, when that
// cannot be opened, from the texts the kernel read from it in its first
// language ("manufacturer", "product", ...).
#include "UsbDeviceWalk.h"

#include "LocalUsbDeviceNames.h"
#include "SystemPaths.h"
#include "Logging.h"
#include "UsbDeviceOpener.h"
#include "UsbIdsDatabase.h"
#include "VHUsbEntryList.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int hubClass = 9;

std::mutex rootMutex;
std::string chosenRoot;
bool rootChosen = false;

void debugLine(const std::string& text) {
    if (isDebugEnabled()) logDebug(text);
}
void traceLine(const std::string& text) {
    if (isTraceEnabled()) logTrace(text);
}

// Set when a file or directory of the tree could not be opened because the
// process (or the system) was out of descriptors: the walk then missed
// devices that are there.
thread_local bool descriptorsRanOut = false;

void noteOpenFailure() {
    if (errno == EMFILE || errno == ENFILE) descriptorsRanOut = true;
}

std::optional<std::vector<std::uint8_t>> readBytes(const std::string& path, std::string& reason) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        noteOpenFailure();
        reason = std::strerror(errno);
        return std::nullopt;
    }
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The first line of an attribute file without surrounding blanks.
std::optional<std::string> readAttribute(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        noteOpenFailure();
        return std::nullopt;
    }
    std::string line;
    if (!std::getline(file, line)) return std::nullopt;
    const auto first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) return std::string();
    const auto last = line.find_last_not_of(" \t\r");
    return line.substr(first, last - first + 1);
}

std::optional<long> readNumber(const std::string& path, int base) {
    std::optional<std::string> text = readAttribute(path);
    if (!text || text->empty()) return std::nullopt;
    char* end = nullptr;
    const long value = std::strtol(text->c_str(), &end, base);
    if (*end != '\0') return std::nullopt;
    return value;
}

bool isDirectory(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The names of the directory's entries, sorted; none when it cannot be read.
std::optional<std::vector<std::string>> directoryNames(const std::string& path, std::string& reason) {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) {
        noteOpenFailure();
        reason = std::strerror(errno);
        return std::nullopt;
    }
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// "usb3" -> 3; -1 for other names.
int rootHubNumber(const std::string& name) {
    if (name.size() < 4 || name.compare(0, 3, "usb") != 0) return -1;
    for (std::size_t i = 3; i < name.size(); ++i)
        if (name[i] < '0' || name[i] > '9') return -1;
    return std::atoi(name.c_str() + 3);
}

// The device at a port of a hub: "usb1" port 2 is "1-2", "1-2" port 3 is "1-2.3".
std::string portDeviceName(const std::string& hub, int port) {
    const int bus = rootHubNumber(hub);
    if (bus >= 0) return std::to_string(bus) + "-" + std::to_string(port);
    return hub + "." + std::to_string(port);
}

std::string hex4(unsigned int value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value & 0xFFFF);
    return text;
}

// Answers string requests from the texts the kernel read from the device in
// its first language: one language, the strings that sysfs shows.
class SysfsStringSource : public UsbStringSource {
public:
    explicit SysfsStringSource(std::map<std::uint8_t, std::string> files) : files_(std::move(files)) {}
    bool readStringDescriptor(std::uint8_t index, std::uint16_t, std::vector<std::uint8_t>& descriptor) override {
        if (index == 0) {
            descriptor = {4, 3, 0x09, 0x04};
            return true;
        }
        auto it = files_.find(index);
        if (it == files_.end()) return false;
        std::optional<std::string> text = readAttribute(it->second);
        if (!text) return false;
        descriptor = makeStringDescriptor(*text);
        return true;
    }

private:
    std::map<std::uint8_t, std::string> files_;
};

} // namespace

std::string usbSystemRoot() {
    std::lock_guard<std::mutex> lock(rootMutex);
    if (rootChosen) return chosenRoot;
    return systemPath("/");
}

void setUsbSystemRoot(const std::string& root) {
    std::lock_guard<std::mutex> lock(rootMutex);
    chosenRoot = root;
    rootChosen = true;
}

UsbDeviceWalk::UsbDeviceWalk(VHUsbEntryList& target, std::string systemRoot, UsbDeviceOpener& opener,
                             UsbIdsDatabase& ids)
    : target_(target), root_(std::move(systemRoot)), opener_(opener), ids_(ids) {
    if (root_.empty() || root_.back() != '/') root_ += '/';
}

std::string UsbDeviceWalk::devicePath(const std::string& deviceName) const {
    return root_ + "sys/bus/usb/devices/" + deviceName;
}

bool UsbDeviceWalk::enumerateHostControllers() {
    descriptorsRanOut = false;
    const bool walked = walkHostControllers();
    ranOutOfDescriptors_ = descriptorsRanOut;
    return walked;
}

bool UsbDeviceWalk::walkHostControllers() {
    std::string reason;
    const std::string dir = root_ + "sys/bus/usb/devices";
    std::optional<std::vector<std::string>> names = directoryNames(dir, reason);
    if (!names) {
        debugLine("enumerateHostControllers: can't read " + dir + ": " + reason);
        return true;
    }
    std::vector<std::string> rootHubs;
    for (const std::string& name : *names)
        if (rootHubNumber(name) >= 0) rootHubs.push_back(name);
    std::sort(rootHubs.begin(), rootHubs.end(),
              [](const std::string& a, const std::string& b) { return rootHubNumber(a) < rootHubNumber(b); });
    for (const std::string& rootHub : rootHubs) {
        if (!enumerateHostController(rootHub)) {
            debugLine("enumerateHostController failed");
            return false;
        }
    }
    return true;
}

bool UsbDeviceWalk::enumerateHostController(const std::string& rootHub) {
    const std::string path = devicePath(rootHub);
    const std::optional<long> vendor = readNumber(path + "/idVendor", 16);
    const std::optional<long> product = readNumber(path + "/idProduct", 16);
    if (!vendor || !product) {
        // A controller that cannot be opened is passed over.
        debugLine("enumerateHostController: can't read the root hub " + path);
        return true;
    }
    std::string description = ids_.productName(static_cast<std::uint16_t>(*vendor), static_cast<std::uint16_t>(*product));
    if (description.empty()) description = readAttribute(path + "/product").value_or("USB Root Hub");
    traceLine("Host controller " + rootHub + ": " + description);
    EnumerateHub(rootHub);
    return true;
}

void UsbDeviceWalk::EnumerateHub(const std::string& hubName) {
    const std::string path = devicePath(hubName);
    std::optional<long> ports = readNumber(path + "/maxchild", 10);
    if (!ports) {
        // Without its port count, the hub's ports are those of its children.
        std::string reason;
        std::optional<std::vector<std::string>> names = directoryNames(root_ + "sys/bus/usb/devices", reason);
        long highest = 0;
        const std::string prefix = portDeviceName(hubName, 0);
        const std::string stem = prefix.substr(0, prefix.size() - 1);
        for (const std::string& name : names.value_or(std::vector<std::string>())) {
            if (name.compare(0, stem.size(), stem) != 0) continue;
            const std::string rest = name.substr(stem.size());
            if (rest.empty() || rest.find_first_not_of("0123456789") != std::string::npos) continue;
            highest = std::max(highest, std::atol(rest.c_str()));
        }
        debugLine("EnumerateHub: no port count for " + hubName + ", walking " + std::to_string(highest) + " ports");
        ports = highest;
    }
    EnumerateHubPorts(hubName, static_cast<int>(*ports));
}

void UsbDeviceWalk::EnumerateHubPorts(const std::string& hubName, int ports) {
    for (int port = 1; port <= ports; ++port) {
        const std::string deviceName = portDeviceName(hubName, port);
        if (!isDirectory(devicePath(deviceName))) continue; // no device connected
        nameAndAddDevice(deviceName);
    }
}

void UsbDeviceWalk::nameAndAddDevice(const std::string& deviceName) {
    const std::string path = devicePath(deviceName);
    UsbConnectedDevice device;
    std::string reason;
    const std::optional<std::vector<std::uint8_t>> descriptors = readBytes(path + "/descriptors", reason);
    const bool haveDescriptor = descriptors && parseDeviceDescriptor(*descriptors, device.descriptor);
    if (!haveDescriptor) {
        debugLine("Can't read the device descriptor of " + deviceName + ": " +
                  (descriptors ? std::string("too short") : reason));
        // The ids and class that sysfs shows; no string indexes.
        const std::optional<long> vendor = readNumber(path + "/idVendor", 16);
        const std::optional<long> product = readNumber(path + "/idProduct", 16);
        if (!vendor || !product) {
            debugLine("EnumerateHubPorts: no device information for " + deviceName);
            return;
        }
        device.descriptor.idVendor = static_cast<std::uint16_t>(*vendor);
        device.descriptor.idProduct = static_cast<std::uint16_t>(*product);
        device.descriptor.bDeviceClass = static_cast<std::uint8_t>(readNumber(path + "/bDeviceClass", 16).value_or(0));
        device.descriptor.bDeviceSubClass =
            static_cast<std::uint8_t>(readNumber(path + "/bDeviceSubClass", 16).value_or(0));
    }
    const UsbDeviceDescriptor& d = device.descriptor;
    if (d.bDeviceClass == hubClass) {
        EnumerateHub(deviceName);
        return;
    }

    const long bus = readNumber(path + "/busnum", 10).value_or(0);
    const long number = readNumber(path + "/devnum", 10).value_or(0);
    const std::string vendorName = ids_.vendorName(d.idVendor);
    const std::string productName = ids_.productName(d.idVendor, d.idProduct);
    char place[64];
    std::snprintf(place, sizeof place, "Bus %03ld Device %03ld: ID ", bus, number);
    traceLine("Device " + deviceName + ": " + place + hex4(d.idVendor) + ":" + hex4(d.idProduct) +
              (vendorName.empty() ? "" : " " + vendorName) + (productName.empty() ? "" : " " + productName));

    // Properties: the ids database's product name, the driver.
    UsbDeviceProperties& properties = device.properties;
    properties.DeviceId = deviceName;
    properties.DeviceDesc = productName;
    properties.HwId = "usb:v" + hex4(d.idVendor) + "p" + hex4(d.idProduct);
    properties.DeviceClass = "USB";
    const long interfaces = readNumber(path + "/bNumInterfaces", 10).value_or(1);
    const long configuration = readNumber(path + "/bConfigurationValue", 10).value_or(1);
    const bool composite = interfaces > 1 && (d.bDeviceClass == 0 || (d.bDeviceClass == 0xEF &&
                                                                      d.bDeviceSubClass == 2 && d.bDeviceProtocol == 1));
    if (composite) {
        properties.Service = "usbccgp";
    } else {
        char link[4096];
        const std::string driver = path + "/" + deviceName + ":" + std::to_string(configuration) + ".0/driver";
        const ssize_t length = ::readlink(driver.c_str(), link, sizeof link - 1);
        if (length > 0) {
            const std::string target(link, static_cast<std::size_t>(length));
            properties.Service = target.substr(target.rfind('/') + 1);
        }
    }

    // The string chain, from the device or from sysfs.
    std::optional<std::vector<std::uint8_t>> config;
    if (haveDescriptor)
        config = GetConfigDescriptor(std::vector<std::uint8_t>(descriptors->begin() + 18, descriptors->end()));
    if (config && (d.iManufacturer != 0 || d.iProduct != 0 || d.iSerialNumber != 0 || AreThereStringDescriptors(*config))) {
        char node[64];
        std::snprintf(node, sizeof node, "dev/bus/usb/%03ld/%03ld", bus, number);
        std::string openReason;
        std::unique_ptr<UsbStringSource> source = opener_.open(root_ + node, openReason);
        if (!source) {
            logInformation("USB device " + deviceName + " not opened (" + openReason + "), names from sysfs");
            std::map<std::uint8_t, std::string> files;
            if (d.iManufacturer != 0) files[d.iManufacturer] = path + "/manufacturer";
            if (d.iProduct != 0) files[d.iProduct] = path + "/product";
            if (d.iSerialNumber != 0) files[d.iSerialNumber] = path + "/serial";
            // The current configuration's string and its interfaces' strings.
            const std::vector<std::uint8_t>& c = *config;
            for (std::size_t at = 0; at + 2 <= c.size() && c[at] != 0 && at + c[at] <= c.size(); at += c[at]) {
                if (c[at + 1] == 2 && c[at] >= 9 && c[at + 6] != 0 && c[at + 5] == configuration)
                    files.emplace(c[at + 6], path + "/configuration");
                if (c[at + 1] == 4 && c[at] >= 9 && c[at + 3] == 0 && c[at + 8] != 0)
                    files.emplace(c[at + 8], path + "/" + deviceName + ":" + std::to_string(configuration) + "." +
                                                 std::to_string(c[at + 2]) + "/interface");
            }
            source = std::make_unique<SysfsStringSource>(std::move(files));
        }
        device.strings = GetAllStringDescriptors(*source, d, *config);
    }

    const std::string name = nameConnectedDevice(device, [&] { return queryWmiUsbDeviceName(d.idVendor, d.idProduct); });
    auto entry = std::make_unique<VHUsbEntry>(makeUsbEntry(d.idVendor, d.idProduct, deviceName, name, 0));
    entry->deviceClass = d.bDeviceClass;
    entry->deviceSubClass = d.bDeviceSubClass;
    addLocalUsbEntry(target_, std::move(entry));
}

std::string UsbDeviceWalk::queryWmiUsbDeviceName(std::int32_t vendorId, std::int32_t productId) {
    std::string reason;
    std::string name;
    for (const std::string& deviceName :
         directoryNames(root_ + "sys/bus/usb/devices", reason).value_or(std::vector<std::string>())) {
        if (deviceName.find(':') != std::string::npos) continue; // an interface
        const std::string path = devicePath(deviceName);
        if (readNumber(path + "/idVendor", 16) != std::optional<long>(vendorId) ||
            readNumber(path + "/idProduct", 16) != std::optional<long>(productId))
            continue;
        name = readAttribute(path + "/product").value_or("");
        stripNonPrintable(name);
        if (!name.empty()) return name;
    }
    const std::string productName =
        ids_.productName(static_cast<std::uint16_t>(vendorId), static_cast<std::uint16_t>(productId));
    if (!productName.empty()) {
        const std::string vendorName = ids_.vendorName(static_cast<std::uint16_t>(vendorId));
        name = vendorName.empty() ? productName : vendorName + " " + productName;
        stripNonPrintable(name);
        if (!name.empty()) return name;
    }
    return fallbackUsbDeviceName(vendorId, productId);
}

bool enumerateHostControllers() {
    std::unique_ptr<UsbDeviceOpener> opener = makeUsbDeviceOpener();
    UsbDeviceWalk walk(localUsbDeviceList, usbSystemRoot(), *opener, UsbIdsDatabase::system());
    return walk.enumerateHostControllers();
}

std::string queryWmiUsbDeviceName(std::int32_t vendorId, std::int32_t productId) {
    std::unique_ptr<UsbDeviceOpener> opener = makeUsbDeviceOpener();
    UsbDeviceWalk walk(localUsbDeviceList, usbSystemRoot(), *opener, UsbIdsDatabase::system());
    return walk.queryWmiUsbDeviceName(vendorId, productId);
}
