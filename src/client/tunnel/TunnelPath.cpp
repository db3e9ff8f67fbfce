#include "TunnelPath.h"

#include "Utilities.h"

namespace qor {

std::string buildTunnelPath(const std::string& clientId, int type, const std::string& name, int servicePort,
                            int listenPort) {
    return "/ws/tunnel/" + clientId + "/" + std::to_string(type) + "/" + name + "/" + std::to_string(servicePort) +
           "/" + std::to_string(listenPort);
}

bool isValidTunnelName(const std::string& name) {
    std::size_t begin = 0;
    for (;;) {
        const std::size_t end = name.find('/', begin);
        const std::string segment = name.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        if (!isSafePathSegment(segment)) return false;
        if (end == std::string::npos) return true;
        begin = end + 1;
    }
}

} // namespace qor
