#include "UsbStartup.h"

#include "ClientSettings.h"
#include "LocalUsbDeviceNames.h"
#include "LogSetup.h"
#include "Logging.h"
#include "NativeClient.h"
#include "NativeClientVHSupport.h"
#include "VHSupport.h"
#include "VHUsbEntryList.h"

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
    initVHIntegration();
    if (vhIntegrationEnabled.load()) {
        clientVirtualHereIgnoreVersionMismatch.ensureRegistered(2);
        if (checkUsbModuleVersion(getUsbModuleVersion())) {
            vhMessage(7, "VirtualHere USB integration enabled");
            // The USB support thread and the vhproxy service start here
            // once the USB support is part of the client.
        } else {
            vhMessage(4, "Library mismatch: Disabling VirtualHere integration");
            qor::setClientError(1);
        }
    } else {
        vhMessage(7, "VirtualHere USB integration not enabled");
    }
    usbForwardingEnabled = vhIntegrationEnabled.load();
}

void runUsbDiagnosis() {
    setLogLevel("trace");
    // Walks the local USB tree into localUsbDeviceList; the name is not used.
    getUsbDeviceName(0, 0);
    printUsbEntryList(localUsbDeviceList, true);
    endProcess(0);
}
