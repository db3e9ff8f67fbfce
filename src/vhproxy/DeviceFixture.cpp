#include "DeviceFixture.h"

#include "PlainJson.h"

#include <Poco/Exception.h>
#include <Poco/JSON/Object.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

namespace {

constexpr int stateBound = 2;
constexpr int stateBindRequested = 3;
constexpr int stateReleaseRequested = 4;

int stateOf(const Poco::JSON::Object::Ptr& device) {
    try {
        return device->has("VHDevState") ? device->getValue<int>("VHDevState") : 0;
    } catch (const Poco::Exception&) {
        return 0;
    }
}

std::string addressOf(const Poco::JSON::Object::Ptr& device) {
    try {
        return device->has("VHDevAddress") ? device->getValue<std::string>("VHDevAddress") : "";
    } catch (const Poco::Exception&) {
        return "";
    }
}

} // namespace

DeviceFixture::DeviceFixture(std::string path) : path_(std::move(path)), devices_(new Poco::JSON::Array) {}

DeviceSource::Availability DeviceFixture::read(unsigned int, DeviceSnapshot& snapshot, std::string& reason) {
    std::lock_guard<std::mutex> guard(lock_);
    const Availability availability = refresh(reason);
    if (availability == Availability::Available) {
        snapshot.devices = deviceList();
        snapshot.serverName = serverName_;
        snapshot.remoteClients = 0;
    }
    return availability;
}

DeviceSource::Availability DeviceFixture::refresh(std::string& reason) {
    struct stat status {};
    if (::stat(path_.c_str(), &status) != 0) {
        loaded_ = false;
        reason = std::strerror(errno);
        return Availability::Missing;
    }
    const std::int64_t modified = static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    if (!loaded_ || modified != modified_ || status.st_size != size_ || status.st_ino != inode_) {
        modified_ = modified;
        size_ = status.st_size;
        inode_ = status.st_ino;
        loaded_ = true;
        readable_ = load(unreadableReason_);
    }
    reason = unreadableReason_;
    return readable_ ? Availability::Available : Availability::Unreadable;
}

bool DeviceFixture::load(std::string& reason) {
    std::ifstream file(path_, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    if (!file) {
        reason = "can't read " + path_;
        return false;
    }
    Poco::JSON::Array::Ptr list;
    std::string name;
    Poco::Dynamic::Var root;
    if (!parseJson(text.str(), root, reason)) {
        reason = path_ + ": " + reason;
        return false;
    }
    if (root.type() == typeid(Poco::JSON::Array::Ptr)) {
        list = root.extract<Poco::JSON::Array::Ptr>();
    } else if (root.type() == typeid(Poco::JSON::Object::Ptr)) {
        const Poco::JSON::Object::Ptr object = root.extract<Poco::JSON::Object::Ptr>();
        list = object->getArray("VHDevList");
        if (object->has("VHSvrName") && !textMember(object, "VHSvrName", name)) {
            reason = path_ + ": VHSvrName is not a text";
            return false;
        }
    }
    if (list.isNull()) {
        reason = path_ + ": no device list";
        return false;
    }
    Poco::JSON::Array::Ptr devices(new Poco::JSON::Array);
    std::set<std::string> addresses;
    for (std::size_t i = 0; i < list->size(); ++i) {
        const Poco::JSON::Object::Ptr device = list->getObject(static_cast<unsigned int>(i));
        const std::string address = device.isNull() ? "" : addressOf(device);
        if (address.empty()) {
            reason = path_ + ": device " + std::to_string(i) + " has no address";
            return false;
        }
        devices->add(device);
        addresses.insert(address);
    }
    // Requests for devices that left the list end with them.
    for (auto it = requested_.begin(); it != requested_.end();)
        it = addresses.count(it->first) != 0 ? std::next(it) : requested_.erase(it);
    devices_ = devices;
    serverName_ = name;
    reason.clear();
    return true;
}

Poco::JSON::Array::Ptr DeviceFixture::deviceList() {
    Poco::JSON::Array::Ptr list(new Poco::JSON::Array);
    for (std::size_t i = 0; i < devices_->size(); ++i) {
        const Poco::JSON::Object::Ptr device = devices_->getObject(static_cast<unsigned int>(i));
        Poco::JSON::Object::Ptr copy(new Poco::JSON::Object(*device));
        const auto state = requested_.find(addressOf(device));
        if (state != requested_.end()) copy->set("VHDevState", state->second);
        list->add(copy);
    }
    return list;
}

DeviceSource::Change DeviceFixture::requestState(unsigned int, const std::string& address, bool connect,
                                                 std::string& reason) {
    std::lock_guard<std::mutex> guard(lock_);
    if (refresh(reason) != Availability::Available) return Change::Unavailable;
    for (std::size_t i = 0; i < devices_->size(); ++i) {
        const Poco::JSON::Object::Ptr device = devices_->getObject(static_cast<unsigned int>(i));
        if (addressOf(device) != address) continue;
        const auto held = requested_.find(address);
        const int state = held != requested_.end() ? held->second : stateOf(device);
        if (connect && state != stateBound && state != stateBindRequested)
            requested_[address] = stateBindRequested;
        else if (!connect && (state == stateBound || state == stateBindRequested))
            requested_[address] = stateReleaseRequested;
        return Change::Done;
    }
    reason = "Device not found: " + address;
    return Change::NoDevice;
}
