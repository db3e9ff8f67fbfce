#include "TunnelLog.h"

#include "Logging.h"

namespace qor {

namespace {

int priorityOf(TunnelLogLevel level) {
    switch (level) {
    case TunnelLogLevel::FATAL: return 1;
    case TunnelLogLevel::CRITICAL: return 2;
    case TunnelLogLevel::ERROR: return 3;
    case TunnelLogLevel::WARNING: return 4;
    case TunnelLogLevel::NOTICE: return 5;
    case TunnelLogLevel::INFORMATION: return 6;
    case TunnelLogLevel::DEBUG: break;
    }
    return 7;
}

} // namespace

bool tunnelDebugEnabled() { return componentSelected(LogComponentMask::VH) || isDebugEnabled(); }

void tunnelLog(TunnelLogLevel level, const std::string& text) { componentLog(LogComponentMask::VH, priorityOf(level), text); }

void tunnelDebug(const std::string& text) { componentDebug(LogComponentMask::VH, text); }

} // namespace qor
