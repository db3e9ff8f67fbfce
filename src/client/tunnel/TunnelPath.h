// The WebSocket path of a tunnel and the check of the tunnel names that go
// into it.
#pragma once

#include <string>

namespace qor {

// "/ws/tunnel/" + client id + "/" + type + "/" + name + "/" + servicePort +
// "/" + listenPort; numbers in plain signed decimal, the texts unchanged.
std::string buildTunnelPath(const std::string& clientId, int type, const std::string& name, int servicePort,
                            int listenPort);

// A name that can stand in the path as it is: one or more segments joined
// by "/", each of them a safe path segment (isSafePathSegment: no control
// characters, blanks, '?', '#', '%' or '\\', neither "." nor "..", not empty).
bool isValidTunnelName(const std::string& name);

} // namespace qor
