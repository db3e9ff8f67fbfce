// The client's USB support: it ties USB forwarding to the life of the
// process and to the current server connection. It initialises the USB
// module at start-up, knows the one server connection that USB messages go
// to (each server proxy registers while it lives), supervises the daemon
// vhproxy (relaunched twice when it stops answering, then USB forwarding is
// given up and the page told; never relaunched when its service is not
// installed or when it refuses this user), tells the page once of each
// change of what keeps the daemon away, with the remedy, and learns the
// name of this machine's VirtualHere server from the daemon. Log lines
// carry the name "NativeClientVHSupport" and belong to the log component VH.
//
// Threads: the main thread (start-up, exit), the NativeClient thread
// (registration), the proxy thread (the page's USB requests, the tunnel
// notice) and the USB poll thread. Locks, always taken in this order:
// usbSupportLock, then vhProxyControlLock, then the entry-list lock of
// VHGlobalUsbEntryList or the lock of vhProxyReachability. usbSupportLock
// is never taken while one of the others is held.
#pragma once

#include "OwnerLock.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace qor {
class UsbServerConnection;
}

// The name that begins the USB support's log lines.
extern const char* const usbSupportLogName;

// Guards the registered connection, the texts and lists below and every
// device-list and connect exchange with the daemon, so that the page's
// requests and the poll ticks take turns. Re-entrant.
extern OwnerLock usbSupportLock;

// The connection that USB messages go to (not owned); null when none.
// Under usbSupportLock.
extern qor::UsbServerConnection* registeredServerProxy;
// Poll ticks since the current connection registered.
extern std::atomic<std::uint64_t> pollTickCount;
// The one automatic connect decision of this registration is taken.
extern std::atomic<bool> autoConnectDone;
// Name of this machine's VirtualHere server as the daemon reported it;
// empty until known. Under usbSupportLock.
extern std::string currentVHServerName;
// The daemon is taken to run: no process check or probe is made.
extern std::atomic<bool> vhProxyRunning;
// How often the daemon was found unreachable in this process; never reset.
extern std::atomic<std::int32_t> vhProxyRelaunchCount;
// Set while stopUsbSupport ends the poll thread: no relaunch starts then.
extern std::atomic<bool> usbSupportStopping;
// A daemon was started or seen anew: it has not heard of the USB tunnel.
extern std::atomic<bool> tunnelNoticePending;

// The server's allow list of USB devices (SrvAllowedUSBDevs, comma-separated
// name fragments), its upper-cased pieces, and whether the pieces were
// built from the text held. Under usbSupportLock.
extern std::string allowedUsbDevicesText;
extern std::vector<std::string> usbAllowList;
extern bool allowListBuilt;
// The page gets every device, not only the enabled ones (SrvShowAllUSBDevs).
extern std::atomic<bool> showAllUsbDevices;
// The first device list sent to the page is still to be logged.
extern std::atomic<bool> initialListPending;
// The devices that are bound are still to be reported to the current
// connection, with the first device list it gets. Under usbSupportLock.
extern bool boundDevicesReportPending;
// Poll tick of the last force-bind request that answered the daemon's
// "client disconnected" (code 23); 0 when none since the last other reply
// or registration. Under usbSupportLock.
extern std::uint64_t forceBindTick;

// Why a request of the page failed, for its answer: the error type and
// code and the reason; answered when the page got the daemon's own reply
// already.
struct VHRequestFailure {
    int errorType = 2;
    int code = 0;
    std::string reason;
    bool answered = false;
};

// The bound of every exchange with the daemon that a page's request or a
// poll tick makes: usbSupportLock may be held, and a connection that goes
// away waits for its request.
constexpr int usbExchangeTimeoutMs = 1000;

// Initialises the USB module facade in server mode; when USB forwarding
// ends up disabled, logs why at critical. Start-up, main thread, once.
void initVHIntegration();

// A server connection registers when it is made and deregisters when it
// goes; each registration starts the per-connection state afresh.
void RegisterServerProxy(qor::UsbServerConnection* proxy);
void UnregisterServerProxy();

// A message to the server through the registered connection (label
// "VH Request"); dropped with an error line when none is registered.
void updateServer(const std::string& json);
// A message to the page through the registered connection.
void forwardToWebClient(const std::string& json, bool verbose);

// The daemon runs (remembered once seen; a silent or incompatible one is
// stopped and false returned). Under vhProxyControlLock.
bool ensureVHProxyProcess();
// Starts the daemon's service and waits up to 3 x 250 ms for an answer.
// Under vhProxyControlLock.
bool launchVHProxy();
// The daemon did not answer: relaunched the first and second time, USB
// forwarding given up (and the page told once) the third time; a daemon
// whose service is not installed is neither (that is said once). The
// caller holds usbSupportLock.
void handleVHProxyDown();
// Gives USB forwarding up for the rest of the process with the reason.
void disableUsbSupport(const std::string& reason);
// Why USB forwarding is disabled, for the page ("" while it is enabled or
// no reason is known).
std::string usbDisabledReason();

// Asks the daemon for its VirtualHere server's name (328) and stores a
// valid one in name; false (the reason in failure when given) when the
// daemon does not answer or refuses this user, its server does not run or
// the name is invalid. A reply whose members cannot be read raises.
bool queryVHServerName(std::string& name, VHRequestFailure* failure = nullptr);

// A request of the page failed on the daemon: failure (when given; its
// answer goes to the page, which then counts as told) gets the daemon's
// report, or "does not answer" when there is none.
void failOnDaemon(VHRequestFailure* failure);
// Tells the page, through the registered connection, what it has not been
// told of the daemon's state yet (vhProxyReachability).
void tellPageOfDaemon();
// A daemon that was (re)started or seen anew knows nothing of a USB tunnel
// that is up: while tunnelNoticePending, tells it (334) when the registered
// connection's tunnel is up, until it has answered. Every device-list
// request comes here first.
void renewTunnelNotice();

// The server's allow list text from its parameters; a changed text is
// split again before the next device list is loaded.
void setAllowedUsbDevicesText(const std::string& text);
