#include "NativeClientVHSupport.h"

#include "Logging.h"
#include "VHSupport.h"

void initVHIntegration() {
    initVHSupport(false);
    if (vhIntegrationEnabled.load()) return;
    logCritical("VirtualHere integration disabled, err: " + vhLastErrorText());
}
