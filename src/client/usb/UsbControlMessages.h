// The USB control messages (types 322 to 334) and the client's handlers:
// the page's requests to list, connect and disconnect devices, the device
// list asked of the daemon vhproxy on every poll tick (loaded, reported to
// the server and sent to the page), the automatic connect decision, and
// the messages about single devices to the server.
//
// Every request of the page gets an answer on the page's socket: the device
// list or the daemon's reply, or, when the request fails, a message of the
// request's type (VH_DEVICE_LIST for a list request) with VHErrType 2 (4
// when USB forwarding is off), a VHErrCode and the reason in VHErrMsg:
//
//   code  reason
//   1     the daemon's VirtualHere server does not run
//   3     no such device (not listed, or listed without a name)
//   4     the request's VHDevAddress is missing or invalid
//   6     the daemon refuses this user (VHErrType 4; its code): the reason
//         and the remedy (the group whose members it serves)
//   991   the server's allow list does not allow the device
//   992   the daemon vhproxy does not answer, or answers what cannot be read
//   993   USB forwarding is disabled
//   994   the daemon's service is not installed (VHErrType 4): the remedy
//   995   the daemon is of another version (VHErrType 4): the remedy
//   996   the daemon's port is held by a program of another user than the
//         service's (VHErrType 4): whose, and the remedy
//   999   USB forwarding gave the daemon up (VHErrType 4)
//   other the daemon's own code (its refusal is passed on as it stands)
//
// The page is also told, unasked, whenever the daemon's state changes to
// one of 6, 992, 994, 995, 996 or 999: a VH_DEVICE_LIST with that code and no
// device list, once per change (and once to a new connection).
//
// Every operation takes usbSupportLock where it reads or writes the USB
// support's state; the daemon exchanges of one thread at a time.
#pragma once

#include "NativeClientVHSupport.h"
#include "QorMessage.h"
#include "VHUsbEntry.h"
#include "VHUsbEntryList.h"

#include <string>
#include <vector>

namespace VHMessageType {
enum : int {
    VH_SERVER_EVENT = 322,
    VH_LIST_DEVICES = 324,
    VH_DEVICE_LIST = 325,
    VH_CONNECT_DEVICE = 326,
    VH_DISCONNECT_DEVICE = 327,
    VH_PROXY_STATUS_REQUEST = 328,
    VH_CLIENT_FORCE_BIND_REQUEST = 330,
    VH_PROXY_STATUS_TUNNEL_DISCONNECTED = 331,
    VH_DEVICE_CONNECTED = 332,
    VH_DEVICE_DISCONNECTED = 333,
    VH_PROXY_STATUS_TUNNEL_CONNECTED = 334,
};
} // namespace VHMessageType

// VHErrCode values the client itself puts into its answers.
namespace VHReplyCode {
constexpr int ServerNotRunning = 1;
constexpr int DeviceNotFound = 3;
constexpr int BadRequest = 4;
constexpr int DaemonRefusesUser = 6;
constexpr int ClientDisconnected = 23;
constexpr int DeviceNotAllowed = 991;
constexpr int DaemonNotAnswering = 992;
constexpr int ForwardingDisabled = 993;
constexpr int DaemonNotInstalled = 994;
constexpr int DaemonIncompatible = 995;
constexpr int DaemonPortHeld = 996;
constexpr int SupportGivenUp = 999;
} // namespace VHReplyCode

// A USB request of the page (324, 326, 327); false when it was refused.
bool handleVHRequest(const QorMessage& message);
// The answer to a request of the page that failed (see above).
void refuseVHRequest(const QorMessage& request, int errorType, int code, const std::string& reason);

// Asks the daemon for the device list, loads it, reports changes to the
// server, takes the automatic connect decision and sends the list to the
// page. False when the daemon gave no usable reply (a silent daemon, a
// reply that is not an object or lacks a member read here, a failed
// exchange: each counts as no reply and relaunches the daemon) or one of an
// unsupported version; why in failure when given.
bool requestDeviceList(VHRequestFailure* failure = nullptr);
// Loads a reply's device list when it differs from the one held (or the
// allow list was rebuilt) and notifies the server of the changes; true
// when it was loaded.
bool loadDeviceList(const QorMessage& reply);
// Splits allowedUsbDevicesText into usbAllowList unless built already;
// true when it built it now.
bool buildAllowList();
// Tells the server what was released, bound and unplugged, in that order,
// and empties the three lists.
void notifyDeviceChanges(VHUsbEntryList& unplugged, VHUsbEntryList& disconnected, VHUsbEntryList& connected);
// Passes a connect (326) or disconnect (327) of the device to the daemon
// and, when it accepts, its reply to the page and the request to the
// server. A device that the allow list disabled is not connected.
bool connectVHDevice(bool connect, const std::string& address, VHRequestFailure* failure = nullptr);
// Asks the server to make its VirtualHere client connect (330).
bool requestVHServerConnect();
// Asks the server to release the device (327); false for a null entry.
bool requestDeviceUnbind(const VHUsbEntry* entry);
// A message about one device to the server with the label.
void sendUsbMessage(int type, const std::string& address, const std::string& prettyName, const std::string& label);
// Reports to the current connection the devices that are bound, once per
// registration, right after the first device list it gets is loaded: the
// devices bound before it registered (also those bound before the client
// started) are no change that the load would report. reportedByLoad are
// the addresses whose bind that load reported itself.
void reportBoundDevices(const std::vector<std::string>& reportedByLoad);
// Tells the daemon that the USB tunnel to the server is up (334).
void signalTunnelStarted();
