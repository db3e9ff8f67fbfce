#include "NativeClientVHSupport.h"

#include "Logging.h"
#include "ProtocolKeys.h"
#include "QorMessage.h"
#include "UsbControlMessages.h"
#include "UsbServerConnection.h"
#include "VHArgumentCheck.h"
#include "VHDeviceListError.h"
#include "VHLog.h"
#include "VHProxyLink.h"
#include "VHProxyReachability.h"
#include "VHProxyService.h"
#include "VHProxySupport.h"
#include "VHSupport.h"

#include <Poco/Thread.h>

const char* const usbSupportLogName = "NativeClientVHSupport";

OwnerLock usbSupportLock;
qor::UsbServerConnection* registeredServerProxy = nullptr;
std::atomic<std::uint64_t> pollTickCount{0};
std::atomic<bool> autoConnectDone{false};
std::string currentVHServerName;
std::atomic<bool> vhProxyRunning{false};
std::atomic<std::int32_t> vhProxyRelaunchCount{0};
std::atomic<bool> usbSupportStopping{false};
std::atomic<bool> tunnelNoticePending{false};

std::string allowedUsbDevicesText;
std::vector<std::string> usbAllowList;
bool allowListBuilt = false;
std::atomic<bool> showAllUsbDevices{false};
std::atomic<bool> initialListPending{true};
bool boundDevicesReportPending = false;
std::uint64_t forceBindTick = 0;

namespace {

const std::string logName = usbSupportLogName;

// Under usbSupportLock.
std::string disabledReason;

constexpr int launchProbes = 3;
constexpr long launchProbeDelayMs = 250;

void setFailure(VHRequestFailure* failure, int code, const std::string& reason) {
    if (failure == nullptr) return;
    failure->errorType = 2;
    failure->code = code;
    failure->reason = reason;
}

const char* const installRemedy = "quarrydesk-client --vhProxy=install";

// The page's words for a daemon in the state; false when there are none.
bool reportOf(const VHProxyReachability::Snapshot& daemon, int& errorType, int& code, std::string& text) {
    errorType = 4;
    switch (daemon.state) {
    case VHProxyState::NotInstalled:
        code = VHReplyCode::DaemonNotInstalled;
        // With the service manager's complaint when it could not tell.
        text = daemon.detail.empty()
                   ? std::string("The USB service vhproxy is not installed. To share USB devices, install it with: ") +
                         installRemedy
                   : "The USB service vhproxy can't be started: " + daemon.detail;
        return true;
    case VHProxyState::PortHeld:
        code = VHReplyCode::DaemonPortHeld;
        text = std::string("The USB service's port ") + vhProxyHost + ":" + std::to_string(vhProxyPort) +
               " is held by a program of user " + daemon.detail +
               ", not by the vhproxy service, which runs as root; this client does not use it. To share USB "
               "devices, end that program and start vhproxy as root.";
        return true;
    case VHProxyState::NotAnswering:
        errorType = 2;
        code = VHReplyCode::DaemonNotAnswering;
        text = "The USB service vhproxy does not answer";
        return true;
    case VHProxyState::Refused:
        code = VHReplyCode::DaemonRefusesUser;
        // The daemon's words name the user; a new group counts only from
        // the user's next sign-in.
        if (daemon.group.empty())
            text = daemon.detail.empty() ? "The USB service vhproxy does not share USB devices for this user"
                                         : daemon.detail;
        else if (daemon.detail.empty())
            text = "The USB service vhproxy shares USB devices only for members of group '" + daemon.group +
                   "', and this user is not one. To share USB devices, add the user to group '" + daemon.group +
                   "', then sign out and sign in again.";
        else
            text = daemon.detail + " The user must then sign out and sign in again.";
        return true;
    case VHProxyState::Incompatible:
        code = VHReplyCode::DaemonIncompatible;
        text = "The USB service vhproxy is not of this client's version (" + requiredVHProxyVersion() +
               "). To share USB devices, install it again: quarrydesk-client --vhProxy=uninstall, then " +
               installRemedy;
        return true;
    case VHProxyState::GivenUp:
        code = VHReplyCode::SupportGivenUp;
        text = "Internal error occured.  Please restart the client to reenable USB support.";
        return true;
    case VHProxyState::Unknown:
    case VHProxyState::Answering:
        break;
    }
    return false;
}

} // namespace

void initVHIntegration() {
    initVHSupport(false);
    if (vhIntegrationEnabled.load()) return;
    logCritical("VirtualHere integration disabled, err: " + vhLastErrorText());
    // The page's USB requests are answered with why.
    const std::string refusal = usbServerRefusal();
    if (!refusal.empty()) disableUsbSupport(refusal);
}

void RegisterServerProxy(qor::UsbServerConnection* proxy) {
    ScopedOwnerLock guard(usbSupportLock);
    if (registeredServerProxy != nullptr)
        vhWarning(logName + ": RegisterServerProxy, previous instance might not have been unregistered");
    autoConnectDone.store(false);
    pollTickCount.store(0);
    // A new page learns what keeps the daemon or the USB server away.
    vhProxyReachability.forgetTold();
    vhDeviceListError.forgetTold();
    // A new connection may come with another allow list, and learns the
    // devices that are bound already.
    allowListBuilt = false;
    boundDevicesReportPending = true;
    forceBindTick = 0;
    registeredServerProxy = proxy;
}

void UnregisterServerProxy() {
    ScopedOwnerLock guard(usbSupportLock);
    registeredServerProxy = nullptr;
}

void updateServer(const std::string& json) {
    vhDebug("Updating server: msg '" + json + "'");
    ScopedOwnerLock guard(usbSupportLock);
    if (registeredServerProxy == nullptr) {
        vhError("Can't update server, not connected");
        return;
    }
    registeredServerProxy->sendCtrl(json, "VH Request", true);
}

void forwardToWebClient(const std::string& json, bool verbose) {
    ScopedOwnerLock guard(usbSupportLock);
    if (registeredServerProxy == nullptr) {
        vhError("Can't update WebClient, not connected");
        return;
    }
    if (registeredServerProxy->updateWebClient(json, verbose)) vhDeviceListError.told(json);
}

bool ensureVHProxyProcess() {
    if (vhProxyRunning.load()) return true;
    ScopedOwnerLock guard(vhProxyControlLock());
    // Another thread may have seen it while this one waited.
    if (vhProxyRunning.load()) return true;
    if (!ensureVHProxyRunning()) return false;
    vhDebug("VHProxy process is running");
    vhProxyRunning.store(true);
    // Seen anew (started again by someone else, say): it has not heard of
    // the USB tunnel.
    tunnelNoticePending.store(true);
    return true;
}

bool launchVHProxy() {
    ScopedOwnerLock guard(vhProxyControlLock());
    vhDebug("Launching vhproxy");
    const bool started = startVHProxyService();
    vhProxyRunning.store(started);
    // A daemon (re)started has not heard of the USB tunnel.
    if (started) tunnelNoticePending.store(true);
    if (!started) {
        // Not installed, or the port held, was said once already.
        const VHProxyState daemon = vhProxyReachability.state();
        vhLogIfNews(daemon != VHProxyState::NotInstalled && daemon != VHProxyState::PortHeld, vhWarning,
                    "Error launching vhproxy");
        return false;
    }
    for (int probe = 0; probe < launchProbes; ++probe) {
        Poco::Thread::sleep(launchProbeDelayMs);
        // Whatever it answers, its refusal of this user included.
        if (probeVHProxy(nullptr)) return true;
        // An exit does not wait for the remaining probes.
        if (usbSupportStopping.load()) break;
    }
    return false;
}

void handleVHProxyDown() {
    ScopedOwnerLock guard(usbSupportLock);
    if (usbSupportStopping.load()) {
        vhDebug(logName + ": Stopping, not relaunching vhproxy");
        return;
    }
    if (vhProxyRelaunchCount.load() >= 3) {
        // Given up already: nothing more is tried or said.
        ++vhProxyRelaunchCount;
        return;
    }
    if (vhProxyReachability.state() == VHProxyState::PortHeld) {
        // A relaunch cannot free the port: the ticks look for the daemon
        // again until the port is free or the service answers.
        vhProxyRunning.store(false);
        return;
    }
    // A service that is not installed cannot be relaunched, and its absence
    // is no failure of the daemon's.
    std::string error;
    if (!vhProxyService.isInstalled(error)) {
        noteVHProxyNotInstalled(error);
        vhProxyRunning.store(false);
        return;
    }
    const std::int32_t count = ++vhProxyRelaunchCount;
    if (count < 3) {
        vhWarning("Trying to relaunch vhproxy");
        launchVHProxy();
        return;
    }
    vhWarning("Not restarting vhproxy, tried it 3 times");
    disableUsbSupport("Service vhproxy stopped, disabling VirtualHere support.");
    vhProxyReachability.set(VHProxyState::GivenUp);
    tellPageOfDaemon();
}

void failOnDaemon(VHRequestFailure* failure) {
    if (failure == nullptr) return;
    VHProxyReachability::Snapshot daemon;
    // The page learns it with the answer, and need not be told again.
    if (!vhProxyReachability.takeUntold(daemon)) daemon = vhProxyReachability.snapshot();
    if (!reportOf(daemon, failure->errorType, failure->code, failure->reason)) {
        failure->errorType = 2;
        failure->code = VHReplyCode::DaemonNotAnswering;
        failure->reason = "The USB service vhproxy does not answer";
    }
}

void tellPageOfDaemon() {
    ScopedOwnerLock guard(usbSupportLock);
    if (registeredServerProxy == nullptr) return;
    VHProxyReachability::Snapshot daemon;
    int errorType = 0;
    int code = 0;
    std::string text;
    if (!vhProxyReachability.takeUntold(daemon) || !reportOf(daemon, errorType, code, text)) return;
    QorMessage report(VHMessageType::VH_DEVICE_LIST);
    report.setMember(QOR_MSG_VH_ERR_TYPE, std::int64_t{errorType});
    report.setMember(QOR_MSG_VH_ERR_CODE, std::int64_t{code});
    report.setMember(QOR_MSG_VH_ERR_MSG, text);
    forwardToWebClient(report.toJson(), true);
}

void renewTunnelNotice() {
    if (!tunnelNoticePending.load()) return;
    {
        ScopedOwnerLock guard(usbSupportLock);
        if (registeredServerProxy == nullptr || !registeredServerProxy->usbTunnelUp()) {
            // A connection tells the daemon itself once it has its tunnel.
            tunnelNoticePending.store(false);
            return;
        }
    }
    std::string reply;
    // Until it answers, the next request tries again.
    if (!vhProxyRequest(QorMessage(VHMessageType::VH_PROXY_STATUS_TUNNEL_CONNECTED).toJson(), reply, false)) return;
    tunnelNoticePending.store(false);
    vhDebug(logName + ": Told the new vhproxy that the USB tunnel is up");
}

void disableUsbSupport(const std::string& reason) {
    vhWarning(reason);
    {
        ScopedOwnerLock guard(usbSupportLock);
        disabledReason = reason;
    }
    vhIntegrationEnabled.store(false);
    vhProxyRunning.store(false);
}

std::string usbDisabledReason() {
    ScopedOwnerLock guard(usbSupportLock);
    return disabledReason;
}

bool queryVHServerName(std::string& name, VHRequestFailure* failure) {
    std::string replyText;
    if (!vhProxyRequest(QorMessage(VHMessageType::VH_PROXY_STATUS_REQUEST).toJson(), replyText, true)) {
        if (isVHProxyRefusal(replyText))
            vhDebug("vhproxy refuses this user");
        else
            vhError("vhproxy down");
        failOnDaemon(failure);
        return false;
    }
    const QorMessage reply(replyText);
    if (!reply.getBool(QOR_MSG_VH_SVR_RUNNING)) {
        vhError(logName + ": VirtualHere server not running");
        setFailure(failure, VHReplyCode::ServerNotRunning, "The USB server is not running");
        return false;
    }
    name = reply.getMember(QOR_MSG_VH_SVR_NAME).convert<std::string>();
    if (!validateVHArgument(name, VHArgServerName)) {
        name.clear();
        setFailure(failure, VHReplyCode::ServerNotRunning, "The USB server's name is invalid");
        return false;
    }
    vhDebug(logName + ": Current VirtualHere server name: " + name);
    return true;
}

void setAllowedUsbDevicesText(const std::string& text) {
    ScopedOwnerLock guard(usbSupportLock);
    if (text == allowedUsbDevicesText) return;
    allowedUsbDevicesText = text;
    allowListBuilt = false;
}
