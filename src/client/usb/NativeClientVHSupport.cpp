#include "NativeClientVHSupport.h"

#include "Logging.h"
#include "ProtocolKeys.h"
#include "QorMessage.h"
#include "UsbControlMessages.h"
#include "UsbServerConnection.h"
#include "VHArgumentCheck.h"
#include "VHLog.h"
#include "VHProxyLink.h"
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

void setFailure(int* code, std::string* text, int failureCode, const std::string& failureText) {
    if (code != nullptr) *code = failureCode;
    if (text != nullptr) *text = failureText;
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
    registeredServerProxy->updateWebClient(json, verbose);
}

bool ensureVHProxyProcess() {
    if (vhProxyRunning.load()) return true;
    ScopedOwnerLock guard(vhProxyControlLock());
    // Another thread may have seen it while this one waited.
    if (vhProxyRunning.load()) return true;
    if (!ensureVHProxyRunning()) return false;
    vhDebug("VHProxy process is running");
    vhProxyRunning.store(true);
    return true;
}

bool launchVHProxy() {
    ScopedOwnerLock guard(vhProxyControlLock());
    vhDebug("Launching vhproxy");
    const bool started = startVHProxyService();
    vhProxyRunning.store(started);
    if (!started) {
        vhWarning("Error launching vhproxy");
        return false;
    }
    for (int probe = 0; probe < launchProbes; ++probe) {
        Poco::Thread::sleep(launchProbeDelayMs);
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
    const std::int32_t count = ++vhProxyRelaunchCount;
    if (count < 3) {
        vhWarning("Trying to relaunch vhproxy");
        launchVHProxy();
        return;
    }
    if (count > 3) return;
    vhWarning("Not restarting vhproxy, tried it 3 times");
    disableUsbSupport("Service vhproxy stopped, disabling VirtualHere support.");
    QorMessage report(VHMessageType::VH_DEVICE_LIST);
    report.setMember(QOR_MSG_VH_ERR_TYPE, std::int64_t{4});
    report.setMember(QOR_MSG_VH_ERR_CODE, std::int64_t{VHReplyCode::SupportGivenUp});
    report.setMember(QOR_MSG_VH_ERR_MSG,
                     std::string("Internal error occured.  Please restart the client to reenable USB support."));
    forwardToWebClient(report.toJson(), true);
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

bool queryVHServerName(std::string& name, int* failureCode, std::string* failureText) {
    std::string replyText;
    if (!vhProxyRequest(QorMessage(VHMessageType::VH_PROXY_STATUS_REQUEST).toJson(), replyText, true)) {
        vhError("vhproxy down");
        setFailure(failureCode, failureText, VHReplyCode::DaemonNotAnswering, "The USB service vhproxy does not answer");
        return false;
    }
    const QorMessage reply(replyText);
    if (!reply.getBool(QOR_MSG_VH_SVR_RUNNING)) {
        vhError(logName + ": VirtualHere server not running");
        setFailure(failureCode, failureText, VHReplyCode::ServerNotRunning, "The USB server is not running");
        return false;
    }
    name = reply.getMember(QOR_MSG_VH_SVR_NAME).convert<std::string>();
    if (!validateVHArgument(name, VHArgServerName)) {
        name.clear();
        setFailure(failureCode, failureText, VHReplyCode::ServerNotRunning, "The USB server's name is invalid");
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
