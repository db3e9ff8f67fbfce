#include "UsbServerDevices.h"

#include "Logging.h"
#include "UsbDeviceOpener.h"
#include "UsbDeviceWalk.h"
#include "UsbIdsDatabase.h"
#include "VHUsbEntryList.h"

#include <Poco/Exception.h>
#include <Poco/JSON/Parser.h>

#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// False when the file is there but cannot be opened now (the process is
// out of descriptors, say).
bool fileText(const std::string& path, std::string& text) {
    std::ifstream file(path);
    if (!file) return ::access(path.c_str(), F_OK) != 0;
    std::ostringstream content;
    content << file.rdbuf();
    text = content.str();
    return true;
}

} // namespace

UsbServerDevices::UsbServerDevices(std::string fixturePath, std::string systemRoot)
    : fixturePath_(std::move(fixturePath)), systemRoot_(std::move(systemRoot)) {}

bool UsbServerDevices::treeSignature(std::string& signature) const {
    if (!fixturePath_.empty()) {
        struct stat status {};
        if (::stat(fixturePath_.c_str(), &status) != 0) {
            signature = "missing";
            return true;
        }
        signature = std::to_string(status.st_ino) + "/" + std::to_string(status.st_size) + "/" +
                    std::to_string(status.st_mtim.tv_sec) + "." + std::to_string(status.st_mtim.tv_nsec);
        return true;
    }
    // Every device directory with its device number: a device that is
    // plugged in again gets another number.
    const std::string dir = systemRoot_ + "/sys/bus/usb/devices";
    std::vector<std::string> parts;
    DIR* handle = ::opendir(dir.c_str());
    if (handle == nullptr && ::access(dir.c_str(), F_OK) == 0) return false;
    bool readable = true;
    if (handle != nullptr) {
        while (dirent* entry = ::readdir(handle)) {
            const std::string name = entry->d_name;
            if (name == "." || name == ".." || name.find(':') != std::string::npos) continue;
            std::string number;
            readable = readable && fileText(dir + "/" + name + "/devnum", number);
            parts.push_back(name + "=" + number);
        }
        ::closedir(handle);
    }
    std::sort(parts.begin(), parts.end());
    signature.clear();
    for (const std::string& part : parts) signature += part + ";";
    return readable;
}

bool UsbServerDevices::readFixture(std::vector<VHUsbEntry>& devices) {
    std::ifstream file(fixturePath_);
    if (!file && ::access(fixturePath_.c_str(), F_OK) == 0) {
        logWarning("USB server: can't open the device list " + fixturePath_);
        return false;
    }
    if (!file) {
        logWarning("USB server: no device list at " + fixturePath_);
        fixtureServerName_.clear();
        return true; // no file: no devices
    }
    try {
        Poco::JSON::Parser parser;
        Poco::Dynamic::Var parsed = parser.parse(file);
        Poco::JSON::Array::Ptr array;
        std::string serverName;
        if (parsed.type() == typeid(Poco::JSON::Array::Ptr)) {
            array = parsed.extract<Poco::JSON::Array::Ptr>();
        } else {
            Poco::JSON::Object::Ptr object = parsed.extract<Poco::JSON::Object::Ptr>();
            array = object->getArray("VHDevList");
            if (object->has("VHSvrName")) serverName = object->getValue<std::string>("VHSvrName");
        }
        if (array.isNull()) throw Poco::DataFormatException("no VHDevList");
        for (std::size_t i = 0; i < array->size(); ++i) {
            VHUsbEntry device = makeUsbEntry();
            device.state = UsbStateExported;
            if (parseVHUsbEntry(device, array->getObject(i))) devices.push_back(device);
        }
        fixtureServerName_ = serverName;
        return true;
    } catch (const Poco::Exception& e) {
        logWarning("USB server: can't read the device list " + fixturePath_ + ": " + e.displayText());
        return false;
    }
}

// False when the walk missed parts of the tree for want of descriptors.
bool UsbServerDevices::readTree(std::vector<VHUsbEntry>& devices) {
    VHUsbEntryList found;
    std::unique_ptr<UsbDeviceOpener> opener = makeUsbDeviceOpener();
    UsbDeviceWalk walk(found, systemRoot_, *opener, UsbIdsDatabase::system());
    walk.enumerateHostControllers();
    if (walk.ranOutOfDescriptors()) return false;
    for (const auto& entry : found.entries()) {
        VHUsbEntry device = *entry;
        device.state = UsbStateExported;
        device.path = systemRoot_ + (systemRoot_.back() == '/' ? "" : "/") + "sys/bus/usb/devices/" + device.address;
        devices.push_back(device);
    }
    return true;
}

void UsbServerDevices::refresh() {
    // A source that cannot be read now leaves the devices and their states
    // as they are: they were not unplugged.
    std::string signature;
    if (!treeSignature(signature)) return;
    if (read_ && signature == signature_) return;
    std::vector<VHUsbEntry> devices;
    if (!fixturePath_.empty()) {
        if (!readFixture(devices)) return; // keep what was read before
    } else if (!readTree(devices)) {
        return; // keep what was read before
    }
    // A device that stays keeps its state; a new one starts as the source says.
    for (VHUsbEntry& device : devices) {
        for (const VHUsbEntry& held : devices_)
            if (held.address == device.address && held.vendorId == device.vendorId &&
                held.productId == device.productId)
                device.state = held.state;
    }
    for (const VHUsbEntry& held : devices_) {
        const bool stays = std::any_of(devices.begin(), devices.end(),
                                       [&](const VHUsbEntry& d) { return d.address == held.address; });
        if (!stays) logInformation("USB server: device " + describeEntry(held) + " unplugged");
    }
    devices_ = std::move(devices);
    signature_ = signature;
    read_ = true;
}

Poco::JSON::Array::Ptr UsbServerDevices::list(std::string& fixtureServerName) {
    std::lock_guard<std::mutex> guard(lock_);
    refresh();
    Poco::JSON::Array::Ptr array = new Poco::JSON::Array;
    for (const VHUsbEntry& device : devices_) {
        Poco::JSON::Object::Ptr object = new Poco::JSON::Object;
        entryToJson(device, object);
        array->add(object);
    }
    fixtureServerName = fixtureServerName_;
    return array;
}

bool UsbServerDevices::apply(const std::string& address, Request request, std::int32_t& newState) {
    std::lock_guard<std::mutex> guard(lock_);
    refresh();
    for (VHUsbEntry& device : devices_) {
        if (device.address != address) continue;
        const std::int32_t before = device.state;
        switch (request) {
        case Request::Bind:
            if (device.state != UsbStateBound) device.state = UsbStateBindRequested;
            break;
        case Request::Release:
            if (device.state == UsbStateBound) device.state = UsbStateReleaseRequested;
            else if (device.state == UsbStateBindRequested) device.state = UsbStateExported;
            break;
        case Request::Attach: device.state = UsbStateBound; break;
        case Request::Detach: device.state = UsbStateExported; break;
        }
        newState = device.state;
        if (before != device.state)
            logInformation("USB server: device " + device.address + " " + deviceStateName(before) + " -> " +
                           deviceStateName(device.state));
        return true;
    }
    return false;
}
