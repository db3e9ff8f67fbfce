#include "UsbServerSource.h"

#include "PlainJson.h"
#include "UsbServerClient.h"
#include "VHServerConfig.h"

#include <Poco/Exception.h>
#include <Poco/JSON/Object.h>

#include <algorithm>
#include <limits>

namespace {

// The USB server's error codes ("ERR <code> <text>") for a request about a
// device that it does not list.
constexpr int noSuchDevice = 2;
constexpr int addressMissing = 4;

// The code and the text of an "ERR <code> <text>" reply; code -1 for any
// other reply, whose text is then the whole reply.
int errorOf(const std::string& reply, std::string& text) {
    const std::string::size_type blank = reply.find(' ', 4);
    if (reply.compare(0, 4, "ERR ") != 0 || blank == std::string::npos) {
        text = "the USB server answered '" + reply + "'";
        return -1;
    }
    text = reply.substr(blank + 1);
    try {
        return std::stoi(reply.substr(4, blank - 4));
    } catch (const std::exception&) {
        return -1;
    }
}

} // namespace

UsbServerSource::UsbServerSource(std::string configPath, int port) : configPath_(std::move(configPath)), port_(port) {}

int UsbServerSource::usbServerPort() const {
    if (port_ != 0) return port_;
    VHServerConfig config;
    std::string ignored;
    config.load(configPath_, ignored);
    return config.port();
}

DeviceSource::Availability UsbServerSource::read(DeviceSnapshot& snapshot, std::string& reason) {
    std::string reply, list;
    if (!UsbServerClient(usbServerPort()).request("LIST", reply, reason)) return Availability::Missing;
    if (!UsbServerClient::okReply(reply, list)) {
        reason = "the USB server answered '" + reply + "' to LIST";
        return Availability::Unreadable;
    }
    Poco::JSON::Object::Ptr object;
    if (!parseJsonObject(list, object, reason)) {
        reason = "the USB server's device list is " + reason;
        return Availability::Unreadable;
    }
    const Poco::JSON::Array::Ptr devices = object->getArray("VHDevList");
    if (devices.isNull()) {
        reason = "the USB server's answer to LIST has no VHDevList";
        return Availability::Unreadable;
    }
    snapshot.devices = devices;
    snapshot.serverName.clear();
    textMember(object, "VHSvrName", snapshot.serverName);
    Poco::Int64 remoteClients = 0;
    if (!integerMember(object, "RemoteClients", remoteClients) || remoteClients < 0) remoteClients = 0;
    snapshot.remoteClients = static_cast<int>(std::min<Poco::Int64>(remoteClients, std::numeric_limits<int>::max()));
    return Availability::Available;
}

DeviceSource::Change UsbServerSource::requestState(const std::string& address, bool connect, std::string& reason) {
    std::string reply, rest;
    if (!UsbServerClient(usbServerPort()).request((connect ? "BIND " : "RELEASE ") + address, reply, reason))
        return Change::Unavailable;
    if (UsbServerClient::okReply(reply, rest)) return Change::Done;
    const int code = errorOf(reply, reason);
    return code == noSuchDevice || code == addressMissing ? Change::NoDevice : Change::Unavailable;
}

std::string UsbServerSource::description() const {
    return port_ != 0 ? "the USB server on 127.0.0.1:" + std::to_string(port_)
                      : "the USB server configured in " + configPath_;
}
