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

#include <cstdio>
#include <cstdlib>

void runUsbStartup(bool startSupport) {
    if (!startSupport) return;
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
    startUsbSupport();
    startVHProxyService();
}

void runUsbDiagnosis() {
    setLogLevel("trace");
    // Walks the local USB tree into localUsbDeviceList; the name is not used.
    getUsbDeviceName(0, 0);
    printUsbEntryList(localUsbDeviceList, true);
    bool none = false;
    {
        ScopedOwnerLock guard(localUsbDeviceList.lock());
        none = localUsbDeviceList.entries().empty();
    }
    if (none) {
        const std::string line = "No USB devices found";
        vhInformation(line);
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
    std::exit(0);
}
