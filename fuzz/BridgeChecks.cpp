#include "BridgeChecks.h"

#include "FuzzSupport.h"

namespace fuzz {

namespace {

bool safeSegment(const std::string& segment) {
    if (segment.empty()) return false;
    for (const char c : segment) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7f || c == '/' || c == '\\' || c == '?' || c == '#') return false;
    }
    return true;
}

} // namespace

void checkClientId(const std::string& clientId, const std::string& target) {
    if (!safeSegment(clientId)) fail("unsafe client id '" + clientId + "' taken from '" + target + "'");
}

void checkPathPrefix(const std::string& prefix, const std::string& target) {
    if (prefix.empty()) return;
    if (prefix[0] != '/') fail("path prefix '" + prefix + "' from '" + target + "' does not begin with /");
    std::string::size_type start = 1;
    for (;;) {
        const std::string::size_type end = prefix.find('/', start);
        const std::string segment = prefix.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!safeSegment(segment) || segment == "." || segment == "..")
            fail("unsafe segment '" + segment + "' in path prefix '" + prefix + "' from '" + target + "'");
        if (end == std::string::npos) break;
        start = end + 1;
    }
}

} // namespace fuzz
