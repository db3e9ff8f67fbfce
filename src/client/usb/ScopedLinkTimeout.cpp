#include "ScopedLinkTimeout.h"

#include "VHProxyLink.h"

#include <algorithm>

ScopedLinkTimeout::ScopedLinkTimeout(int timeoutMs) : previous_(threadLinkTimeoutMs()) {
    setThreadLinkTimeoutMs(std::min(previous_, timeoutMs));
}

ScopedLinkTimeout::~ScopedLinkTimeout() { setThreadLinkTimeoutMs(previous_); }
