#include "UsbServerSource.h"

#include "PeerPolicy.h"
#include "PlainJson.h"
#include "TcpPeerIdentity.h"
#include "UsbServerClient.h"
#include "VHServerConfig.h"

#include <Poco/Exception.h>
#include <Poco/JSON/Object.h>
#include <Poco/Logger.h>
#include <Poco/Net/StreamSocket.h>

#include <algorithm>
#include <limits>

namespace {

// The USB server's error codes ("ERR <code> <text>") for a request about a
// device that it does not list.
constexpr int noSuchDevice = 2;
constexpr int addressMissing = 4;

// How long the USB server may take to answer before it counts as down.
constexpr int answerTimeoutMs = 1000;

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

UsbServerSource::Outcome UsbServerSource::ask(unsigned int userId, const std::string& line, std::string& reply,
                                              std::string& reason) {
    const int port = usbServerPort();
    const std::string endpoint = "127.0.0.1:" + std::to_string(port);
    bool refused = false;
    std::optional<unsigned int> holder; // the listener's user, when it could be told
    std::string held;                   // who holds the port, in plain words
    const auto usersOwn = [&](const Poco::Net::StreamSocket& connection, std::string& why) {
        if (userId == 0) return true; // root's client may use any USB server
        TcpPeerIdentity listener;
        std::string lookup;
        if (tcpAcceptingPeer(connection, listener, lookup) == TcpPeerLookup::Found) {
            if (listener.userId == userId) return true;
            holder = listener.userId;
            held = "The USB server port " + endpoint + " is held by " + PeerPolicy::userText(listener.userId);
        } else {
            held = "Can't tell who holds the USB server port " + endpoint + " (" + lookup + ")";
        }
        refused = true;
        why = held + (holder ? ", not by you" : "") + ": the daemon does not ask it for your USB devices";
        return false;
    };
    if (UsbServerClient(port, answerTimeoutMs, usersOwn).request(line, reply, reason)) {
        noteAnswered(userId, endpoint);
        return Outcome::Answered;
    }
    if (!refused) return Outcome::Down;
    noteRefusal(userId, holder, held);
    return Outcome::Foreign;
}

void UsbServerSource::noteRefusal(unsigned int userId, std::optional<unsigned int> holder, const std::string& held) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        const auto known = refusals_.find(userId);
        // A holder that cannot be told is no news once a refusal is logged:
        // a listener that drops each connection at once would otherwise
        // write a line per poll.
        if (known != refusals_.end() && (!holder || known->second == holder)) return;
        refusals_[userId] = holder;
    }
    const std::string user = PeerPolicy::userText(userId);
    Poco::Logger::get("vhproxy").warning(held + (holder ? ", not by " + user + " whose client asks"
                                                        : " for a client of " + user) +
                                         ": not asking it");
}

void UsbServerSource::noteAnswered(unsigned int userId, const std::string& endpoint) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (refusals_.erase(userId) == 0) return;
    }
    Poco::Logger::get("vhproxy").information("Asking the USB server on " + endpoint + " for " +
                                             PeerPolicy::userText(userId) + " again: it is that user's");
}

DeviceSource::Availability UsbServerSource::read(unsigned int userId, DeviceSnapshot& snapshot, std::string& reason) {
    std::string reply, list;
    switch (ask(userId, "LIST", reply, reason)) {
    case Outcome::Down: return Availability::Missing;
    case Outcome::Foreign: return Availability::Foreign;
    case Outcome::Answered: break;
    }
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

DeviceSource::Change UsbServerSource::requestState(unsigned int userId, const std::string& address, bool connect,
                                                   std::string& reason) {
    std::string reply, rest;
    switch (ask(userId, (connect ? "BIND " : "RELEASE ") + address, reply, reason)) {
    case Outcome::Down: return Change::Unavailable;
    case Outcome::Foreign: return Change::Foreign;
    case Outcome::Answered: break;
    }
    if (UsbServerClient::okReply(reply, rest)) return Change::Done;
    const int code = errorOf(reply, reason);
    return code == noSuchDevice || code == addressMissing ? Change::NoDevice : Change::Unavailable;
}

std::string UsbServerSource::description() const {
    return port_ != 0 ? "the USB server on 127.0.0.1:" + std::to_string(port_)
                      : "the USB server configured in " + configPath_;
}
