#include "ProxyServiceHooks.h"

#include <atomic>

namespace qor {

ProxyServiceHooks& proxyServiceHooks() {
    static ProxyServiceHooks hooks;
    return hooks;
}

int nextVhTunnelNumber() {
    static std::atomic<int> vhTunnelCounter{0};
    return vhTunnelCounter.fetch_add(1) + 1;
}

} // namespace qor
