#include "VHProxyDaemon.h"

#include "DeviceFixture.h"
#include "PlainJson.h"
#include "UsbServerSource.h"
#include "VHProxyConnection.h"

#include <Poco/Environment.h>
#include <Poco/Exception.h>
#include <Poco/JSON/Object.h>
#include <Poco/Logger.h>
#include <Poco/Net/SocketAddress.h>

#include <limits>
#include <sstream>

namespace {

constexpr int errTypeSuccess = 0;
constexpr int errTypeError = 2;
constexpr int errTypeFatal = 4;

std::string toText(const Poco::JSON::Object& object) {
    std::ostringstream text;
    object.stringify(text);
    return text.str();
}

std::string result(int type, int errType, int errCode, const std::string& message,
                   const Poco::JSON::Array::Ptr& devices = nullptr) {
    Poco::JSON::Object reply;
    reply.set("type", type);
    reply.set("VHErrType", errType);
    reply.set("VHErrCode", errCode);
    reply.set("VHErrMsg", message);
    if (!devices.isNull()) reply.set("VHDevList", devices);
    return toText(reply);
}

// A USB server that does not run, and one of another user (the reason says
// whose), are the same to the client and the page.
constexpr const char* serverDown = "The VirtualHere USB server is not running";
std::string notOurs(const std::string& reason) { return std::string(serverDown) + ".  " + reason; }

// The type a reply gives back for a request's type: 0 for one beyond what
// the reply's type can hold.
int replyType(Poco::Int64 type) {
    return type >= std::numeric_limits<int>::min() && type <= std::numeric_limits<int>::max() ? static_cast<int>(type)
                                                                                              : 0;
}

// The device-list file when one is given, else the USB server.
std::unique_ptr<DeviceSource> makeDeviceSource(const DaemonOptions& options) {
    if (!options.devicesPath.empty()) return std::make_unique<DeviceFixture>(options.devicesPath);
    return std::make_unique<UsbServerSource>(options.usbServerConfig, options.usbServerPort);
}

// A device address as the USB server takes it: printable ASCII, not empty.
bool usableAddress(const std::string& address) {
    if (address.empty()) return false;
    for (const char c : address)
        if (c < 0x20 || c > 0x7e) return false;
    return true;
}

} // namespace

const char* const VHProxyDaemon::version = VHPROXY_VERSION;

VHProxyDaemon::VHProxyDaemon(const DaemonOptions& options)
    : options_(options), source_(makeDeviceSource(options)), policy_(options.allowGroup) {}

VHProxyDaemon::~VHProxyDaemon() { stop(); }

bool VHProxyDaemon::start(std::string& error) {
    listener_ = std::make_unique<VHProxyListener>(
        [this](const Poco::Net::StreamSocket& socket, const std::string& request, unsigned int userId) {
            VHProxyConnection(socket, *this, request, userId).run();
        },
        [this](unsigned int userId) { return policy_.allows(userId); },
        [this](const std::string& request, unsigned int userId) { return refusal(request, userId); },
        requestTimeoutMs, maxRequestLength);
    std::string reason;
    if (!listener_->start(Poco::Net::SocketAddress("127.0.0.1", 7679), reason)) {
        error = "Can't listen on 127.0.0.1:7679, " + reason;
        listener_.reset();
        return false;
    }
    Poco::Logger::get("vhproxy").information("vhproxy " + std::string(version) +
                                             " listening on 127.0.0.1:7679, devices from " + source_->description());
    return true;
}

void VHProxyDaemon::stop() {
    if (!listener_) return;
    // The requests under way use this daemon: the listener waits for them.
    listener_->stop();
    listener_.reset();
}

bool VHProxyDaemon::readRequest(const std::string& request, Poco::JSON::Object::Ptr& message, Poco::Int64& type,
                                std::string& problem) {
    if (!parseJsonObject(request, message, problem)) {
        problem = "The request is " + problem;
        return false;
    }
    if (!message->has("type")) {
        problem = "The request has no \"type\"";
        return false;
    }
    if (!integerMember(message, "type", type)) {
        problem = "The request's \"type\" is not an integer";
        return false;
    }
    return true;
}

std::string VHProxyDaemon::handleRequest(const std::string& request, unsigned int userId) {
    Poco::JSON::Object::Ptr message;
    Poco::Int64 type = 0;
    std::string problem;
    if (!readRequest(request, message, type, problem))
        return result(0, errTypeError, DaemonError::BadRequest, problem);
    switch (type) {
    case 324: return listDevices(userId);
    case 326:
    case 327: return changeDevice(static_cast<int>(type), message, userId);
    case 328: return status(userId);
    case 334:
        if (!tunnelConnected_.exchange(true))
            Poco::Logger::get("vhproxy").information("The tunnel to the remote VirtualHere client is up");
        return result(334, errTypeSuccess, 0, "");
    default:
        return result(replyType(type), errTypeError, DaemonError::UnknownRequest,
                      "Request type " + std::to_string(type) + " not handled");
    }
}

std::string VHProxyDaemon::refusal(const std::string& request, unsigned int userId) const {
    Poco::JSON::Object::Ptr message;
    Poco::Int64 type = 0;
    std::string problem;
    if (!readRequest(request, message, type, problem)) type = 0; // unreadable: answered as type 0
    Poco::JSON::Object reply;
    reply.set("type", replyType(type));
    reply.set("VHErrType", errTypeFatal);
    reply.set("VHErrCode", DaemonError::NotAllowed);
    reply.set("VHErrMsg", policy_.refusalMessage(userId));
    reply.set("VHAllowGroup", policy_.allowedGroup());
    return toText(reply);
}

std::string VHProxyDaemon::listDevices(unsigned int userId) {
    DeviceSnapshot snapshot;
    std::string reason;
    switch (source_->read(userId, snapshot, reason)) {
    case DeviceSource::Availability::Missing: return result(325, errTypeFatal, DaemonError::ServerDown, serverDown);
    case DeviceSource::Availability::Foreign:
        return result(325, errTypeFatal, DaemonError::ServerDown, notOurs(reason));
    case DeviceSource::Availability::Unreadable:
        return result(325, errTypeError, DaemonError::ListUnreadable, "Can't read the device list: " + reason);
    case DeviceSource::Availability::Available: break;
    }
    if (!tunnelConnected_.load() && snapshot.remoteClients <= 0)
        return result(325, errTypeSuccess, DaemonError::ClientDisconnected, "VirtualHere client not connected");
    return result(325, errTypeSuccess, 0, "", snapshot.devices);
}

std::string VHProxyDaemon::changeDevice(int type, const Poco::JSON::Object::Ptr& request, unsigned int userId) {
    std::string address, name;
    if (!textMember(request, "VHDevAddress", address) || !textMember(request, "VHDevPrettyName", name))
        return result(type, errTypeError, DaemonError::BadRequest, "VHDevAddress and VHDevPrettyName are required texts");
    if (!usableAddress(address))
        return result(type, errTypeError, DaemonError::DeviceNotFound, "Device not found: '" + address + "'");
    std::string reason;
    switch (source_->requestState(userId, address, type == 326, reason)) {
    case DeviceSource::Change::Unavailable: return result(type, errTypeFatal, DaemonError::ServerDown, serverDown);
    case DeviceSource::Change::Foreign:
        return result(type, errTypeFatal, DaemonError::ServerDown, notOurs(reason));
    case DeviceSource::Change::NoDevice: return result(type, errTypeError, DaemonError::DeviceNotFound, reason);
    case DeviceSource::Change::Done: break;
    }
    Poco::Logger::get("vhproxy").information((type == 326 ? "Bind requested for " : "Release requested for ") +
                                             address);
    // The list with the new state, when the server still answers.
    DeviceSnapshot snapshot;
    if (source_->read(userId, snapshot, reason) != DeviceSource::Availability::Available)
        return result(type, errTypeSuccess, 0, "");
    return result(type, errTypeSuccess, 0, "", snapshot.devices);
}

std::string VHProxyDaemon::status(unsigned int userId) {
    DeviceSnapshot snapshot;
    std::string reason;
    const bool running = source_->read(userId, snapshot, reason) == DeviceSource::Availability::Available;
    std::string name = running ? snapshot.serverName : "";
    if (running && name.empty()) name = Poco::Environment::nodeName();
    Poco::JSON::Object reply;
    reply.set("type", 328);
    reply.set("VHProxyVersion", std::string(version));
    reply.set("VHSvrRunning", running);
    reply.set("VHSvrName", name);
    reply.set("VHSvrService", options_.asService);
    // The client compares it with the port its USB server listens on.
    if (const int port = source_->usbServerPort()) reply.set("VHSvrPort", port);
    return toText(reply);
}
