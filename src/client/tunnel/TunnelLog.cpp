#include "TunnelLog.h"

#include "Logging.h"

namespace qor {

namespace {

bool componentSelected() { return ((debugComponentMask | traceComponentMask) & LogComponentMask::VH) != 0; }

} // namespace

bool tunnelDebugEnabled() { return componentSelected() || isDebugEnabled(); }

void tunnelLog(TunnelLogLevel level, const std::string& text) {
    if (componentSelected()) {
        logInformation(componentNames(LogComponentMask::VH, false) + ":" + text);
        return;
    }
    switch (level) {
    case TunnelLogLevel::FATAL: logFatal(text); break;
    case TunnelLogLevel::CRITICAL: logCritical(text); break;
    case TunnelLogLevel::ERROR: logError(text); break;
    case TunnelLogLevel::WARNING: logWarning(text); break;
    case TunnelLogLevel::NOTICE: logNotice(text); break;
    case TunnelLogLevel::INFORMATION: logInformation(text); break;
    case TunnelLogLevel::DEBUG:
        if (isDebugEnabled()) logDebug(text);
        break;
    }
}

void tunnelDebug(const std::string& text) { componentDebug(LogComponentMask::VH, text); }

} // namespace qor
