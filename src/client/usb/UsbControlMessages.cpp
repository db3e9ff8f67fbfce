#include "UsbControlMessages.h"

#include "Logging.h"
#include "MessageTypeNames.h"
#include "NativeClientVHSupport.h"
#include "ProtocolKeys.h"
#include "ScopedLinkTimeout.h"
#include "UsbDeviceList.h"
#include "UsbServerConnection.h"
#include "VHArgumentCheck.h"
#include "VHDeviceListError.h"
#include "VHLog.h"
#include "VHProxyLink.h"
#include "VHProxyReachability.h"
#include "VHServerPortCheck.h"
#include "VHSupport.h"

#include <Poco/Exception.h>
#include <Poco/JSON/Array.h>

#include <algorithm>
#include <exception>

namespace {

const std::string logName = usbSupportLogName;

// A force-bind request is repeated at most every this many poll ticks
// while the daemon keeps reporting its client disconnected.
constexpr std::uint64_t forceBindRepeatTicks = 5;

void fail(VHRequestFailure* failure, int code, const std::string& reason) {
    if (failure == nullptr) return;
    failure->errorType = 2;
    failure->code = code;
    failure->reason = reason;
}

std::string errorMessageOf(const QorMessage& reply) {
    return reply.getMember(QOR_MSG_VH_ERR_MSG).convert<std::string>();
}

// A reply of the daemon that cannot be read counts as no reply.
bool noUsableReply(VHRequestFailure* failure, const std::string& why) {
    vhError(logName + ": Unusable reply of vhproxy, " + why);
    vhDebug("vhproxy down");
    handleVHProxyDown();
    fail(failure, VHReplyCode::DaemonNotAnswering, "The USB service vhproxy gave no usable answer");
    return false;
}

// The list for the page: every device, or the enabled ones only.
std::string deviceListMessage() {
    QorMessage list(VHMessageType::VH_DEVICE_LIST);
    Poco::JSON::Array::Ptr devices = new Poco::JSON::Array;
    buildDeviceListJson(devices, !showAllUsbDevices.load());
    list.setMember(QOR_MSG_VH_DEVICE_LIST, devices);
    list.setMember(QOR_MSG_VH_ERR_CODE, std::int64_t{0});
    list.setMember(QOR_MSG_VH_ERR_TYPE, std::int64_t{0});
    list.setMember(QOR_MSG_VH_ERR_MSG, std::string());
    return list.toJson();
}

// Code 23: the remote VirtualHere client is not connected. The server is
// asked to bind it, again only after a few ticks while the spell lasts;
// not before the connection's USB tunnel is set up, through which alone the
// remote client can connect.
bool answerClientDisconnected() {
    vhDebug("requestDeviceList(): Client disconnected");
    if (registeredServerProxy != nullptr && registeredServerProxy->usbTunnelComing()) {
        vhDebug("requestDeviceList(): Waiting for the USB tunnel");
        return true;
    }
    const std::uint64_t tick = pollTickCount.load();
    if (forceBindTick != 0 && tick < forceBindTick + forceBindRepeatTicks) return true;
    forceBindTick = tick == 0 ? 1 : tick;
    return requestVHServerConnect();
}

// The addresses of the held list's devices that are not bound: a load
// reports those of them that it finds bound.
std::vector<std::string> unboundAddresses() {
    std::vector<std::string> addresses;
    ScopedOwnerLock guard(VHGlobalUsbEntryList.lock());
    for (const std::unique_ptr<VHUsbEntry>& entry : VHGlobalUsbEntryList.entries())
        if (entry->state != UsbStateBound) addresses.push_back(entry->address);
    return addresses;
}

// A device list came: the end of an error that stood is said once.
void noteDeviceListAgain() {
    if (vhDeviceListError.ended()) vhInformation(logName + ": vhproxy lists the USB devices again");
}

bool loadAndSendDeviceList(const QorMessage& reply, int code) {
    if (code == VHReplyCode::ClientDisconnected) return answerClientDisconnected();
    forceBindTick = 0;
    const bool reportBound = boundDevicesReportPending;
    const std::vector<std::string> reportedByLoad = reportBound ? unboundAddresses() : std::vector<std::string>();
    if (loadDeviceList(reply)) printUsbEntryList(VHGlobalUsbEntryList, false);
    if (reportBound) reportBoundDevices(reportedByLoad);
    if (!autoConnectDone.load() && pollTickCount.load() > 2) {
        if (countEntriesInState(UsbStateDiscovered) > 0)
            requestVHServerConnect();
        else
            autoConnectDone.store(true);
    }
    const std::string json = deviceListMessage();
    if (initialListPending.exchange(false)) vhDebug("Initial device list: " + json);
    forwardToWebClient(json, false);
    return true;
}

} // namespace

void refuseVHRequest(const QorMessage& request, int errorType, int code, const std::string& reason) {
    int type = VHMessageType::VH_DEVICE_LIST;
    std::string address;
    try {
        if (request.getType() != VHMessageType::VH_LIST_DEVICES) type = request.getType();
        if (request.hasMember(QOR_MSG_VH_DEV_ADDRESS))
            address = request.getMember(QOR_MSG_VH_DEV_ADDRESS).convert<std::string>();
    } catch (const Poco::Exception&) {
        // The answer goes out without what cannot be read.
    }
    QorMessage answer(type);
    if (type != VHMessageType::VH_DEVICE_LIST && validateVHArgument(address, VHArgDevAddress))
        answer.setMember(QOR_MSG_VH_DEV_ADDRESS, address);
    answer.setMember(QOR_MSG_VH_ERR_TYPE, std::int64_t{errorType});
    answer.setMember(QOR_MSG_VH_ERR_CODE, std::int64_t{code});
    answer.setMember(QOR_MSG_VH_ERR_MSG, reason);
    forwardToWebClient(answer.toJson(), true);
}

bool handleVHRequest(const QorMessage& message) {
    // It holds usbSupportLock, and its connection's end waits for it.
    ScopedLinkTimeout bound(usbExchangeTimeoutMs);
    int type = -1;
    VHRequestFailure failure;
    try {
        type = message.getType();
        switch (type) {
        case VHMessageType::VH_LIST_DEVICES:
            if (!requestDeviceList(&failure) && failure.code != 0 && !failure.answered)
                refuseVHRequest(message, failure.errorType, failure.code, failure.reason);
            return true;
        case VHMessageType::VH_CONNECT_DEVICE:
        case VHMessageType::VH_DISCONNECT_DEVICE: {
            ScopedOwnerLock guard(usbSupportLock);
            if (message.isNullMember(QOR_MSG_VH_DEV_ADDRESS)) {
                vhCritical(logName + ": QOR_MSG_VH_DEV_ADDRESS value missing, " + message.toJson());
                refuseVHRequest(message, 2, VHReplyCode::BadRequest, "The device address is missing");
                return false;
            }
            if (currentVHServerName.empty() && !queryVHServerName(currentVHServerName, &failure)) {
                refuseVHRequest(message, failure.errorType, failure.code, failure.reason);
                return false;
            }
            const std::string address = message.getMember(QOR_MSG_VH_DEV_ADDRESS).convert<std::string>();
            if (!validateVHArgument(address, VHArgDevAddress)) {
                refuseVHRequest(message, 2, VHReplyCode::BadRequest, "The device address is invalid");
                return false;
            }
            if (!connectVHDevice(type == VHMessageType::VH_CONNECT_DEVICE, address, &failure) && !failure.answered)
                refuseVHRequest(message, failure.errorType, failure.code, failure.reason);
            return true;
        }
        default:
            vhError(logName + ": Request type " + std::to_string(type) + " not handled");
            return false;
        }
    } catch (const std::exception&) {
        vhError(logName + ": Error during processing request of type " + std::to_string(type));
    } catch (...) {
        vhError(logName + ": Error during processing request of type " + std::to_string(type));
    }
    refuseVHRequest(message, 2, VHReplyCode::DaemonNotAnswering, "The request could not be handled");
    return false;
}

bool requestDeviceList(VHRequestFailure* failure) {
    ScopedOwnerLock guard(usbSupportLock);
    renewTunnelNotice();
    std::string replyText;
    bool answered = false;
    try {
        answered = vhProxyRequest(QorMessage(VHMessageType::VH_LIST_DEVICES).toJson(), replyText, true);
    } catch (const std::exception& e) {
        vhError(logName + ": Exchange with vhproxy failed, " + e.what());
    } catch (...) {
        vhError(logName + ": Exchange with vhproxy failed");
    }
    if (!answered && isVHProxyRefusal(replyText)) {
        // It runs: nothing to relaunch. Said once, by the daemon's state.
        vhDebug("vhproxy refuses this user");
        failOnDaemon(failure);
        return false;
    }
    if (!answered) {
        vhDebug("vhproxy down");
        handleVHProxyDown();
        failOnDaemon(failure);
        return false;
    }
    try {
        QorMessage reply(replyText);
        if (reply.isEmpty()) return noUsableReply(failure, "not a JSON object");
        if (reply.isNullMember(QOR_MSG_VH_ERR_TYPE) || reply.isNullMember(QOR_MSG_VH_ERR_CODE)) {
            vhCritical("Unsupported version of vhproxy running, please update installation");
            fail(failure, VHReplyCode::DaemonNotAnswering, "Unsupported version of vhproxy running");
            return false;
        }
        const int errorType = reply.getInt(QOR_MSG_VH_ERR_TYPE);
        const int code = reply.getInt(QOR_MSG_VH_ERR_CODE);
        // A reply that says something must say what.
        if ((errorType == 1 || errorType == 2 || errorType == 4) && reply.isNullMember(QOR_MSG_VH_ERR_MSG))
            return noUsableReply(failure, "VHErrMsg missing: " + replyText);
        // A device list: whatever version its status reported, it serves.
        vhProxyReachability.set(VHProxyState::Answering);
        switch (errorType) {
        case 1:
            vhDebug("Message: (" + std::to_string(code) + ") '" + errorMessageOf(reply) + "'");
            noteDeviceListAgain();
            return loadAndSendDeviceList(reply, code);
        case 0:
            noteDeviceListAgain();
            return loadAndSendDeviceList(reply, code);
        case 2:
        case 4: {
            const std::string text = "Error: (" + std::to_string(code) + ") " + errorMessageOf(reply);
            if (errorType == 4) explainVHServerDown(reply);
            const std::string json = reply.toJson();
            // An error that stands is said once, not on every tick; the
            // page's own request is always answered.
            vhLogIfNews(vhDeviceListError.failed(json), errorType == 4 ? vhCritical : vhError, text);
            if (failure != nullptr || vhDeviceListError.untold(json)) forwardToWebClient(json, true);
            if (failure != nullptr) failure->answered = true;
            return true;
        }
        default:
            return true;
        }
    } catch (const Poco::Exception& e) {
        return noUsableReply(failure, e.displayText());
    } catch (const std::exception& e) {
        return noUsableReply(failure, e.what());
    }
}

bool buildAllowList() {
    ScopedOwnerLock guard(usbSupportLock);
    if (allowListBuilt) return false;
    usbAllowList.clear();
    std::string::size_type start = 0;
    while (start <= allowedUsbDevicesText.size()) {
        std::string::size_type end = allowedUsbDevicesText.find(',', start);
        if (end == std::string::npos) end = allowedUsbDevicesText.size();
        std::string piece = allowedUsbDevicesText.substr(start, end - start);
        const std::string::size_type first = piece.find_first_not_of(" \t\r\n\f\v");
        if (first != std::string::npos) {
            piece = piece.substr(first, piece.find_last_not_of(" \t\r\n\f\v") - first + 1);
            for (char& c : piece)
                if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            vhDebug("Adding allow list USB entry " + piece);
            usbAllowList.push_back(piece);
        }
        start = end + 1;
    }
    allowListBuilt = true;
    return true;
}

bool loadDeviceList(const QorMessage& reply) {
    ScopedOwnerLock guard(usbSupportLock);
    // A reply without a list (a connect's, say) changes nothing; the allow
    // list waits for the next list.
    if (reply.isNullMember(QOR_MSG_VH_DEVICE_LIST)) return isDeviceListChanged(reply);
    const bool allowListChanged = buildAllowList();
    if (!isDeviceListChanged(reply) && !allowListChanged) return false;
    vhDebug(logName + ": Received new device list");
    VHUsbEntryList unplugged;
    VHUsbEntryList disconnected;
    VHUsbEntryList connected;
    if (loadList(reply, unplugged, disconnected, connected, usbAllowList)) vhDebug(logName + ": Loaded new device list");
    notifyDeviceChanges(unplugged, disconnected, connected);
    return true;
}

void notifyDeviceChanges(VHUsbEntryList& unplugged, VHUsbEntryList& disconnected, VHUsbEntryList& connected) {
    ScopedOwnerLock guard(usbSupportLock);
    for (const std::unique_ptr<VHUsbEntry>& entry : disconnected.entries()) {
        sendUsbMessage(VHMessageType::VH_DEVICE_DISCONNECTED, entry->address, entry->prettyName,
                       "Disconnect notification");
        vhDebug("Device disconnected " + describeEntry(*entry));
    }
    clearEntryList(disconnected);
    for (const std::unique_ptr<VHUsbEntry>& entry : connected.entries()) {
        sendUsbMessage(VHMessageType::VH_DEVICE_CONNECTED, entry->address, entry->prettyName, "Connect notification");
        vhDebug("Device connected " + describeEntry(*entry));
    }
    clearEntryList(connected);
    for (const std::unique_ptr<VHUsbEntry>& entry : unplugged.entries()) {
        vhDebug("Device unplugged " + describeEntry(*entry));
        requestDeviceUnbind(entry.get());
    }
    clearEntryList(unplugged);
}

bool connectVHDevice(bool connect, const std::string& address, VHRequestFailure* failure) {
    ScopedOwnerLock guard(usbSupportLock);
    QorMessage request(connect ? VHMessageType::VH_CONNECT_DEVICE : VHMessageType::VH_DISCONNECT_DEVICE);
    std::string prettyName;
    bool enabled = false;
    {
        ScopedOwnerLock listGuard(VHGlobalUsbEntryList.lock());
        const VHUsbEntry* entry = findEntryByAddress(VHGlobalUsbEntryList, address);
        if (entry == nullptr) {
            vhWarning(logName + ": VH entry not found for address " + address);
            fail(failure, VHReplyCode::DeviceNotFound, "No USB device at address " + address);
            return false;
        }
        prettyName = entry->prettyName;
        enabled = entry->enabled;
    }
    if (prettyName.empty()) {
        vhWarning(logName + ": VH entry name not set for address " + address);
        fail(failure, VHReplyCode::DeviceNotFound, "The USB device at address " + address + " has no name");
        return false;
    }
    // The server's allow list is its policy: a device it does not allow is
    // not offered to it (a release stays possible).
    if (connect && !enabled) {
        vhWarning(logName + ": VH device not allowed by the server, address " + address);
        fail(failure, VHReplyCode::DeviceNotAllowed, "The server does not allow the USB device " + prettyName);
        return false;
    }
    request.setMember(QOR_MSG_VH_DEV_ADDRESS, address);
    request.setMember(QOR_MSG_VH_DEV_PRETTY_NAME, prettyName);
    std::string replyText;
    if (!vhProxyRequest(request.toJson(), replyText, true)) {
        vhDebug(isVHProxyRefusal(replyText) ? "vhproxy refuses this user" : "vhproxy down");
        failOnDaemon(failure);
        return false;
    }
    QorMessage reply(replyText);
    const int code = reply.getInt(QOR_MSG_VH_ERR_CODE);
    if (code == 0) {
        if (!loadDeviceList(reply)) vhDebug("Received message: " + reply.toJson());
        forwardToWebClient(reply.toJson(), true);
        request.setMember(QOR_MSG_VH_SVR_NAME, currentVHServerName);
        vhDebug("Updating server: " + request.toJson());
        updateServer(request.toJson());
        return true;
    }
    explainVHServerDown(reply);
    const std::string text = reply.isNullMember(QOR_MSG_VH_ERR_MSG) ? std::string() : errorMessageOf(reply);
    vhError(logName + (connect ? ": Error connecting VH device: " : ": Error disconnecting VH device: ") + text);
    // The page learns why: the daemon's refusal as it stands.
    forwardToWebClient(reply.toJson(), true);
    if (failure != nullptr) {
        failure->code = code;
        failure->reason = text;
        failure->answered = true;
    }
    return false;
}

bool requestVHServerConnect() {
    ScopedOwnerLock guard(usbSupportLock);
    vhDebug("Connecting to VH Server");
    resetEntryStates();
    QorMessage request(VHMessageType::VH_CLIENT_FORCE_BIND_REQUEST);
    request.setMember(QOR_MSG_VH_SVR_NAME, currentVHServerName);
    vhDebug(currentVHServerName.empty() ? std::string("Requesting vh-client to connect, server name not set")
                                        : "Requesting vh-client to connect, server '" + currentVHServerName + "'");
    updateServer(request.toJson());
    autoConnectDone.store(true);
    return true;
}

bool requestDeviceUnbind(const VHUsbEntry* entry) {
    if (entry == nullptr) {
        vhError(logName + ": VH entry not found during requestDeviceUnbind");
        return false;
    }
    ScopedOwnerLock guard(usbSupportLock);
    QorMessage request(VHMessageType::VH_DISCONNECT_DEVICE);
    request.setMember(QOR_MSG_VH_DEV_ADDRESS, entry->address);
    request.setMember(QOR_MSG_VH_DEV_PRETTY_NAME, entry->prettyName);
    request.setMember(QOR_MSG_VH_SVR_NAME, currentVHServerName);
    updateServer(request.toJson());
    return true;
}

void sendUsbMessage(int type, const std::string& address, const std::string& prettyName, const std::string& label) {
    ScopedOwnerLock guard(usbSupportLock);
    QorMessage message(type);
    message.setMember(QOR_MSG_VH_SVR_NAME, currentVHServerName);
    message.setMember(QOR_MSG_VH_DEV_ADDRESS, address);
    message.setMember(QOR_MSG_VH_DEV_PRETTY_NAME, prettyName);
    if (registeredServerProxy == nullptr) {
        vhError("Can't update server, not connected");
        return;
    }
    registeredServerProxy->sendCtrl(message.toJson(), label, true);
}

void reportBoundDevices(const std::vector<std::string>& reportedByLoad) {
    ScopedOwnerLock guard(usbSupportLock);
    if (!boundDevicesReportPending) return;
    boundDevicesReportPending = false;
    std::string address;
    std::string prettyName;
    for (int n = 0; entryInStateAt(n, UsbStateBound, address, prettyName); ++n) {
        if (std::find(reportedByLoad.begin(), reportedByLoad.end(), address) != reportedByLoad.end()) continue;
        sendUsbMessage(VHMessageType::VH_DEVICE_CONNECTED, address, prettyName, "Connect notification");
        vhDebug("Device still connected " + prettyName + " @ '" + address + "'");
    }
}

void signalTunnelStarted() {
    std::string reply;
    if (vhProxyRequest(QorMessage(VHMessageType::VH_PROXY_STATUS_TUNNEL_CONNECTED).toJson(), reply, true))
        vhDebug(logName + ": Signaled tunnel has started");
}
