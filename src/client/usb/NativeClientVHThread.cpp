#include "NativeClientVHThread.h"

#include "NativeClientVHSupport.h"
#include "UsbControlMessages.h"
#include "UsbDeviceList.h"
#include "VHLog.h"
#include "VHProxyLink.h"
#include "VHSupport.h"

#include <cstdlib>
#include <exception>

qor::NativeClientVHThread* usbSupportThread = nullptr;

namespace {

const std::string logName = usbSupportLogName;

// Requests pending with the server are repeated every this many ticks.
constexpr std::uint64_t repeatTicks = 5;

// Repeats to the server the requests of the entries in the state.
void repeatPendingRequests(std::int32_t state, int type, const char* label) {
    std::string address;
    std::string prettyName;
    for (int n = 0; entryInStateAt(n, state, address, prettyName); ++n)
        sendUsbMessage(type, address, prettyName, label);
}

void pollTick(std::uint64_t tickNumber) {
    ++pollTickCount;
    if (!ensureVHProxyProcess()) {
        if (tickNumber % repeatTicks == 0) vhDebug("VHProxy is currently not connected");
        return;
    }
    ScopedOwnerLock guard(usbSupportLock);
    if (registeredServerProxy == nullptr) {
        vhDebug("Client not connected to server at the moment");
        return;
    }
    if (!requestDeviceList()) {
        vhDebug("requestDeviceList() unsuccessful");
        return;
    }
    if (currentVHServerName.empty() || tickNumber % repeatTicks != 0) return;
    repeatPendingRequests(UsbStateBindRequested, VHMessageType::VH_CONNECT_DEVICE, "Bind request");
    repeatPendingRequests(UsbStateReleaseRequested, VHMessageType::VH_DISCONNECT_DEVICE, "Release request");
}

} // namespace

namespace qor {

NativeClientVHThread::NativeClientVHThread() = default;

void NativeClientVHThread::pollOnce(std::uint64_t tickNumber) {
    try {
        pollTick(tickNumber);
        // What became of the daemon, the page learns once.
        tellPageOfDaemon();
    } catch (const std::exception& e) {
        vhError(logName + ": Poll tick " + std::to_string(tickNumber) + " failed, " + e.what());
    } catch (...) {
        vhError(logName + ": Poll tick " + std::to_string(tickNumber) + " failed");
    }
}

void NativeClientVHThread::eventLoop() {
    setPeriodMs(POLL_PERIOD_MS);
    setThreadLinkTimeoutMs(LINK_TIMEOUT_MS);
    std::uint64_t tickNumber = 0;
    // A stop seen while waiting ends the loop without another pass: an exit
    // never waits for an exchange with the daemon.
    while (isRunning() && waitNextTick()) pollOnce(++tickNumber);
}

} // namespace qor

void startUsbSupport() {
    if (!vhIntegrationEnabled.load() || usbSupportThread != nullptr) return;
    vhDebug("Starting VirtualHere Support");
    usbSupportStopping.store(false);
    launchVHProxy();
    usbSupportThread = new qor::NativeClientVHThread();
    // An exit that does not pass the clean-up still ends the thread first.
    static const bool stopAtExit = std::atexit(stopUsbSupport) == 0;
    (void)stopAtExit;
    usbSupportThread->startTimer();
}

void stopUsbSupport() {
    if (usbSupportThread == nullptr) return;
    usbSupportStopping.store(true);
    usbSupportThread->stopTimer();
    delete usbSupportThread;
    usbSupportThread = nullptr;
}
