// The js-bridge: a small HTTP server on 127.0.0.1 whose one useful answer is
// the upgrade of the page's WebSocket. The page presents a one-use nonce that
// the client itself put into it; every accepted socket goes to the event
// thread given at start (NativeClient) as a WebSocketConnected event.
//
// Process-wide values kept here:
//   bridgePort        the listening port, 0 until the bridge has started;
//   bridgeNonce       the nonce the next bridge WebSocket must present, empty
//                     until the first renewal (an empty nonce matches nothing);
//   serverPathPrefix  "/" and the segments before "ws" of the last accepted
//                     bridge path with five or more segments ("/a/b"), or
//                     empty; read by the server connections.
// The nonce and the prefix share one lock, so accepting a nonce, renewing it
// and storing the prefix of that request are one step.
//
// Bridge paths: [prefix segments...]/ws/<free>/<client id>/<nonce>[/...],
// split as Windows paths ("/" and "\" separate, "." and empty segments
// dropped, ".." removes the segment before it) from the root, also when the
// request target does not begin with a separator, so that no ".." survives;
// the layout sits at the last "ws" that has at least three segments after it.
#pragma once

#include <Poco/Net/IPAddress.h>
#include <Poco/Types.h>

#include <atomic>
#include <string>
#include <vector>

namespace qor {
class QorEventThread;
}

class JsBridge {
public:
    // Binds 127.0.0.1 at a port the system chooses (backlog 64), publishes it
    // in bridgePort and starts the HTTP server (connections of the client's
    // own user only, its own pool of up to 64 threads, 256 queued
    // connections, one request per connection, its head whole within 3 s,
    // 5 s for any one read); accepted page WebSockets are posted to
    // eventTarget. A failure to bind or listen is logged and the
    // exception raised. A second start replaces the running server.
    bool startBridgeServer(qor::QorEventThread* eventTarget);
    // Stops accepting connections; sockets already handed on are not
    // affected. Always true.
    bool stopBridgeServer();
    // Prefix of the bridge's own log lines.
    std::string name() const { return "JsBridge"; }
};

// Set by main when it starts the bridge (native decoding on), null otherwise;
// the main web view's clean-up stops the bridge through it.
extern JsBridge* jsBridge;

namespace qor {

// Written once when the bridge starts, before the GUI reads it.
extern std::atomic<Poco::UInt16> bridgePort;

// A copy of the current nonce.
std::string bridgeNonce();
// Replaces the nonce with a fresh randomUrlToken. Should the system's random
// source fail, the nonce becomes empty (matching nothing) and an error is
// logged; it never falls back to weaker randomness.
void renewBridgeNonce();
// When the presented nonce equals the current one (and that is not empty):
// renews the nonce and, when joinedPrefix is given, stores it as with
// setServerPathPrefix, all under one lock, and returns true. Otherwise
// nothing changes and the result is false.
bool acceptBridgeNonce(const std::string& presented, const std::string* joinedPrefix);

// A copy of the current server path prefix ("" or "/a/b").
std::string serverPathPrefix();
// Stores pathPrefixText(joinedSegments).
void setServerPathPrefix(const std::string& joinedSegments);
// The prefix for the segments before "ws", each followed by "/" ("a/b/"):
// "/" and the text without its last separator ("/a/b"); "" for "".
std::string pathPrefixText(const std::string& joinedSegments);

// 32 random bytes from OpenSSL's generator in standard Base64 (44 characters
// ending in "="); throws Poco::Exception when the generator fails.
std::string randomBase64();
// randomBase64 in the URL-safe alphabet without padding: 43 characters of
// A-Z, a-z, 0-9, "-" and "_".
std::string randomUrlToken();

// The segments of a decoded bridge path (a "/" is appended before splitting),
// resolved from the root: the result never holds "..".
// Raises Poco::PathSyntaxException for a path that is not a valid Windows path.
std::vector<std::string> bridgePathSegments(const std::string& path);
// Index of the last "ws" with at least three segments after it; -1 if none.
int findWsSegment(const std::vector<std::string>& segments);
int findWsSegment(const std::string& path);

// True for 127.0.0.0/8, ::1 and IPv4-mapped 127.0.0.0/8.
bool isLoopbackClient(const Poco::Net::IPAddress& host);

} // namespace qor
