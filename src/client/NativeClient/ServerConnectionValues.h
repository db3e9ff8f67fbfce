// Process-wide values of the server connection. The web side, the js-bridge
// and the control protocol write them; the server connections, the proxies
// and USB forwarding read them. Flags and numbers are read and written whole
// (atomics); texts are replaced and copied under one lock, so a reader gets
// either the old or the new text.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace qor {

// The server is reached over https (true at start).
extern std::atomic<bool> serverIsSecure;
// TCP port of the server; 0 until a page of the server was accepted.
extern std::atomic<std::int32_t> serverPort;
// The page may submit the server's sign-in form by itself; every proxy
// clears it when its thread starts.
extern std::atomic<bool> autoSignInAllowed;
// Number of remote screens (1 at start, then the server's SvrPNumScrs).
extern std::atomic<std::int32_t> screenCount;
// Major protocol version announced by the server (4 at start).
extern std::atomic<std::int32_t> networkProtocolMajor;
// Bit set of client errors: 1 the USB module's version does not match,
// 2 the server's protocol minor does not match.
extern std::atomic<std::int32_t> clientErrorCode;

// Value of the server's session cookie, captured by the web view.
std::string sessionCookieValue();
void setSessionCookieValue(const std::string& value);

// Path prefix of every server request ("" or "/a/b"), as the js-bridge
// learnt it from the page's bridge request.
std::string currentServerPathPrefix();

} // namespace qor
