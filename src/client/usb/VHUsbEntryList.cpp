#include "VHUsbEntryList.h"

#include "Logging.h"

#include <cstdio>

VHUsbEntryList VHGlobalUsbEntryList;
VHUsbEntryList localUsbDeviceList;

bool addLocalUsbEntry(VHUsbEntryList& list, std::unique_ptr<VHUsbEntry> entry) {
    ScopedOwnerLock guard(list.lock());
    for (const std::unique_ptr<VHUsbEntry>& held : list.entries()) {
        const bool same = entry->address.empty()
                              ? held->vendorId == entry->vendorId && held->productId == entry->productId
                              : held->address == entry->address;
        if (same) return false;
    }
    list.entries().push_back(std::move(entry));
    return true;
}

VHUsbEntry* findEntryByAddress(VHUsbEntryList& list, const std::string& address) {
    ScopedOwnerLock guard(list.lock());
    for (const std::unique_ptr<VHUsbEntry>& held : list.entries())
        if (held->address == address) return held.get();
    return nullptr;
}

VHUsbEntry* findEntryByIds(VHUsbEntryList& list, std::int32_t vendorId, std::int32_t productId) {
    ScopedOwnerLock guard(list.lock());
    for (const std::unique_ptr<VHUsbEntry>& held : list.entries())
        if (held->vendorId == vendorId && held->productId == productId) return held.get();
    return nullptr;
}

void clearEntryList(VHUsbEntryList& list) { list.entries().clear(); }

void printUsbEntryList(VHUsbEntryList& list, bool toConsole) {
    ScopedOwnerLock guard(list.lock());
    int n = 0;
    for (const std::unique_ptr<VHUsbEntry>& held : list.entries()) {
        const std::string line = "VirtualHere device " + std::to_string(n++) + ": " + describeEntry(*held);
        if (isDebugEnabled()) logDebug(line);
        if (toConsole) std::printf("%s\n", line.c_str());
    }
    if (toConsole) std::fflush(stdout);
}
