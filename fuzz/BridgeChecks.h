// What the js-bridge may hand on from a request target, whatever the page
// or a local process sent: the client id and the path prefix go into the
// request lines of the server connections as they are.
#pragma once

#include <string>

namespace fuzz {

// A client id: not empty; no control character, blank, "/", "\", "?" or "#".
void checkClientId(const std::string& clientId, const std::string& target);
// A path prefix: "" or "/" and segments joined by "/", each one a safe
// segment as a client id and neither "." nor "..".
void checkPathPrefix(const std::string& prefix, const std::string& target);

} // namespace fuzz
