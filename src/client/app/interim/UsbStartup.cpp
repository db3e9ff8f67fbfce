#include "UsbStartup.h"

#include "LogSetup.h"
#include "Logging.h"

#include <cstdlib>

bool usbForwardingEnabled = false;

namespace {

// A message of the VH component at the given priority (Poco numbering).
void vhMessage(int priority, const std::string& text) {
    if (((debugComponentMask | traceComponentMask) & LogComponentMask::VH) != 0) {
        logInformation(componentNames(LogComponentMask::VH, false) + ":" + text);
        return;
    }
    switch (priority) {
    case 2: logCritical(text); break;
    case 3: logError(text); break;
    case 4: logWarning(text); break;
    case 6: logInformation(text); break;
    default:
        if (isDebugEnabled()) logDebug(text);
        break;
    }
}

[[noreturn]] void endProcess(int code) { std::exit(code); }

} // namespace

void runUsbStartup(const std::string&) {
    usbForwardingEnabled = false;
    vhMessage(7, "VirtualHere USB integration not enabled");
}

void runUsbDiagnosis() {
    setLogLevel("trace");
    // No USB device enumeration without USB support: the list is empty.
    endProcess(0);
}
