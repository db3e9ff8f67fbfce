#include "TunnelPath.h"

#include <cstdio>

namespace qor {

std::string buildTunnelPath(const std::string& clientId, int type, const std::string& name, int servicePort,
                            int listenPort) {
    return "/ws/tunnel/" + clientId + "/" + std::to_string(type) + "/" + name + "/" + std::to_string(servicePort) +
           "/" + std::to_string(listenPort);
}

bool isValidTunnelName(const std::string& name) {
    if (name.empty()) return false;
    for (const char c : name) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == ' ' || c == '?' || c == '#' || c == '%') return false;
    }
    std::size_t begin = 0;
    for (;;) {
        const std::size_t end = name.find('/', begin);
        const std::string segment = name.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        if (segment == "." || segment == "..") return false;
        if (end == std::string::npos) return true;
        begin = end + 1;
    }
}

std::string printableTunnelName(const std::string& name) {
    std::string text;
    for (const char c : name) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f) {
            text += c;
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            text += escaped;
        }
    }
    return text;
}

} // namespace qor
