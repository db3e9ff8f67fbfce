// The link to the local daemon vhproxy: TCP to 127.0.0.1 port 7679, one
// connection per exchange, one request frame and one reply frame. A frame
// is a signed 32-bit little-endian length and that many bytes of JSON text;
// a reply's text ends at its first NUL byte.
//
// Every exchange is bounded: the connect waits at most 25 ms, the whole
// exchange at most vhProxyLinkTimeoutMs, a reply may announce at most
// vhProxyMaxFrameLength bytes, and a daemon that stalls, resets the
// connection or answers with anything but a JSON object counts as one that
// did not answer. Only a daemon whose listener belongs to the service's
// user is spoken to.
#pragma once

#include <Poco/Net/StreamSocket.h>

#include <cstdint>
#include <string>

constexpr const char* vhProxyHost = "127.0.0.1";
constexpr std::uint16_t vhProxyPort = 7679;
constexpr int vhProxyConnectTimeoutMs = 25;
constexpr int vhProxyLinkTimeoutMs = 5000;
constexpr std::int32_t vhProxyMaxFrameLength = 16 * 1024 * 1024;

// The bound of the calling thread's exchanges: vhProxyLinkTimeoutMs unless
// the thread chose a shorter one.
int threadLinkTimeoutMs();
// Bounds every later exchange of the calling thread that names no bound of
// its own (a thread that must stay responsive, such as the USB poll
// thread); 0 or less restores vhProxyLinkTimeoutMs.
void setThreadLinkTimeoutMs(int timeoutMs);

// One exchange: sends request and fills reply. True when a reply with
// content (a JSON object) arrived within timeoutMs and is not the daemon's
// refusal of this user: a refusal gives false with the refusal in reply
// (isVHProxyRefusal). A failed connect is logged at error when reportErrors
// is set and the daemon was not already known to be away, else at debug.
// Every outcome is reported to vhProxyReachability.
bool vhProxyRequest(std::string request, std::string& reply, bool reportErrors,
                    int timeoutMs = threadLinkTimeoutMs());

// The daemon's answer to any request of a local user whom it does not serve:
// VHErrType 4, VHErrCode 6, its words in VHErrMsg and the group whose
// members it serves in VHAllowGroup.
constexpr int vhProxyRefusalType = 4;
constexpr int vhProxyRefusalCode = 6;
// Whether reply is such a refusal; its words and group when asked.
bool isVHProxyRefusal(const std::string& reply, std::string* message = nullptr, std::string* group = nullptr);

// One frame out, within timeoutMs: the length, then the text. False (socket
// shut down and closed) when the frame did not go out whole.
bool sendProxyMessage(std::string text, Poco::Net::StreamSocket& socket, int timeoutMs = vhProxyLinkTimeoutMs);

// One frame in, within timeoutMs; the text up to its first NUL, or an empty
// text on any failure (socket shut down and closed, two error lines).
std::string receiveProxyMessage(Poco::Net::StreamSocket& socket, int timeoutMs = vhProxyLinkTimeoutMs);

// The status request (328): true when the daemon answered, its refusal of
// this user included. The outputs that are given receive whether its USB
// server runs, whether that server runs as a service, whether its version
// is the required one, and whether it refused this user (then the other
// three are false).
bool checkVHProxyVersion(bool* serverRunning, bool* serverService, bool* versionFits, bool* refused = nullptr);

// Whether the daemon answers (a refusal of this user is an answer);
// versionFits and refused as for checkVHProxyVersion. An unanswered probe
// is logged at error when it finds the daemon newly away.
bool probeVHProxy(bool* versionFits, bool* refused = nullptr);

// The daemon version the client requires: "14.0.0".
std::string requiredVHProxyVersion();

// The daemon's program name on this platform ("vhproxy").
std::string vhProxyProgramName();

// Whether the listener that accepted socket (connected to the link's
// endpoint) belongs to the daemon's service user; a listener that another
// user's process put on the port is refused with an error line, once while
// that user holds the port (vhProxyReachability: PortHeld).
bool isTrustedVHProxyListener(const Poco::Net::StreamSocket& socket);
