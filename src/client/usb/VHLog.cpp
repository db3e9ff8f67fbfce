#include "VHLog.h"

#include "Logging.h"

namespace {

bool vhSelected() { return ((debugComponentMask | traceComponentMask) & LogComponentMask::VH) != 0; }

void promoteOr(void (*own)(std::string), std::string text) {
    if (vhSelected())
        logInformation(componentNames(LogComponentMask::VH, false) + ":" + text);
    else
        own(std::move(text));
}

} // namespace

void vhCritical(std::string text) { promoteOr(logCritical, std::move(text)); }
void vhError(std::string text) { promoteOr(logError, std::move(text)); }
void vhWarning(std::string text) { promoteOr(logWarning, std::move(text)); }
void vhNotice(std::string text) { promoteOr(logNotice, std::move(text)); }
void vhInformation(std::string text) { promoteOr(logInformation, std::move(text)); }
void vhDebug(std::string text) { componentDebug(LogComponentMask::VH, std::move(text)); }
void vhTrace(std::string text) { componentTrace(LogComponentMask::VH, std::move(text)); }
