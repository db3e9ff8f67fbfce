// The daemon vhproxy as a service: it listens on 127.0.0.1 port 7679,
// serves several connections at once (VHProxyListener), reads one request
// frame per connection (a signed 32-bit little-endian length and JSON text)
// and answers with one frame, then closes the connection. Only local users
// allowed to share USB devices are answered (PeerPolicy).
//
// Requests and replies (members besides "type"):
//   324 list devices      -> 325 VHErrType, VHErrCode, VHErrMsg, VHDevList
//   326 connect device    -> 326 VHErrType, VHErrCode, VHErrMsg, VHDevList
//   327 disconnect device -> 327 the same
//   328 status            -> 328 VHSvrRunning, VHSvrName, VHSvrService, VHProxyVersion,
//                                VHSvrPort (the USB server's port that the daemon asks)
//   334 tunnel connected  -> 334 VHErrType 0, VHErrCode 0, VHErrMsg ""
// The devices come from this machine's USB server, or from a device-list
// file in tests (DeviceSource), for the user whose client asks: a USB
// server port held by another user's program counts as a USB server that
// does not run, and the reply says whose it is. Until the tunnel-connected
// notice has come, 324 answers VHErrCode 23 (the remote VirtualHere client
// is not connected), unless the USB server has a remote client already (the
// daemon was restarted while the tunnel stayed up).
#pragma once

#include "DeviceSource.h"
#include "PeerPolicy.h"
#include "VHProxyListener.h"

#include <Poco/JSON/Object.h>
#include <Poco/Types.h>

#include <atomic>
#include <memory>
#include <string>

// The daemon's error codes (VHErrCode) besides 0 and 23.
namespace DaemonError {
constexpr int ServerDown = 1;       // VHErrType 4: the USB server does not run (for this user)
constexpr int ListUnreadable = 2;   // VHErrType 2: the device list cannot be read
constexpr int DeviceNotFound = 3;   // VHErrType 2
constexpr int BadRequest = 4;       // VHErrType 2: not a JSON object, no integer type, a member missing or not a text
constexpr int UnknownRequest = 5;   // VHErrType 2
constexpr int NotAllowed = 6;       // VHErrType 4: this user may not share USB devices
constexpr int ClientDisconnected = 23;
} // namespace DaemonError

struct DaemonOptions {
    // A device-list file in place of the USB server (tests), when set.
    std::string devicesPath;
    // The USB server's port, or (0) the configuration file that gives it.
    std::string usbServerConfig;
    int usbServerPort = 0;
    std::string allowGroup = "plugdev";
    bool asService = false;
};

class VHProxyDaemon {
public:
    static const char* const version;
    static constexpr int maxRequestLength = 1024 * 1024;
    static constexpr int requestTimeoutMs = 5000;

    explicit VHProxyDaemon(const DaemonOptions& options);
    ~VHProxyDaemon();

    // Listens and serves; false with the reason when the port cannot be had.
    bool start(std::string& error);
    void stop();

    // The reply frame's text for a request frame's text from a client of
    // the user.
    std::string handleRequest(const std::string& request, unsigned int userId);
    // The request as a JSON object with its type, an integer; false with
    // what is wrong with it, in plain words.
    static bool readRequest(const std::string& request, Poco::JSON::Object::Ptr& message, Poco::Int64& type,
                            std::string& problem);
    // The reply to a user the policy does not allow: nothing of the request
    // is carried out, its type is answered with NotAllowed, why, and the
    // group that would allow it (VHAllowGroup).
    std::string refusal(const std::string& request, unsigned int userId) const;

    const PeerPolicy& peerPolicy() const { return policy_; }

private:
    std::string listDevices(unsigned int userId);
    std::string changeDevice(int type, const Poco::JSON::Object::Ptr& request, unsigned int userId);
    std::string status(unsigned int userId);

    DaemonOptions options_;
    std::unique_ptr<DeviceSource> source_;
    PeerPolicy policy_;
    std::atomic<bool> tunnelConnected_{false};
    std::unique_ptr<VHProxyListener> listener_; // stop waits for the requests under way
};
