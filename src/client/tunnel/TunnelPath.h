// The WebSocket path of a tunnel and the check of the tunnel names that go
// into it.
#pragma once

#include <string>

namespace qor {

// "/ws/tunnel/" + client id + "/" + type + "/" + name + "/" + servicePort +
// "/" + listenPort; numbers in plain signed decimal, the texts unchanged.
std::string buildTunnelPath(const std::string& clientId, int type, const std::string& name, int servicePort,
                            int listenPort);

// A name that can stand in the path as it is: not empty, no control
// characters, blanks, '?', '#' or '%', and no "." or ".." between slashes.
// Slashes are allowed.
bool isValidTunnelName(const std::string& name);

// The name for a log line: control characters and bytes above 0x7e written
// as \xNN, so that a hostile name cannot forge or break log lines.
std::string printableTunnelName(const std::string& name);

} // namespace qor
