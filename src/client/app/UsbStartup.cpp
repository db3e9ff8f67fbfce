#include "UsbStartup.h"

#include "ClientSettings.h"
#include "LocalUsbDeviceNames.h"
#include "LogSetup.h"
#include "NativeClient.h"
#include "NativeClientVHSupport.h"
#include "NativeClientVHThread.h"
#include "VHLog.h"
#include "VHProxySupport.h"
#include "VHSupport.h"
#include "VHUsbEntryList.h"

#include <cstdlib>

void runUsbStartup(bool startSupport) {
    initVHIntegration();
    if (!vhIntegrationEnabled.load()) {
        vhDebug("VirtualHere USB integration not enabled");
        return;
    }
    clientVirtualHereIgnoreVersionMismatch.ensureRegistered(2);
    if (!checkUsbModuleVersion(getUsbModuleVersion())) {
        vhWarning("Library mismatch: Disabling VirtualHere integration");
        qor::setClientError(1);
        return;
    }
    vhDebug("VirtualHere USB integration enabled");
    if (!startSupport) return;
    startUsbSupport();
    startVHProxyService();
}

void runUsbDiagnosis() {
    setLogLevel("trace");
    // Walks the local USB tree into localUsbDeviceList; the name is not used.
    getUsbDeviceName(0, 0);
    printUsbEntryList(localUsbDeviceList, true);
    std::exit(0);
}
