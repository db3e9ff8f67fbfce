#include "UsbDeviceList.h"

#include "Logging.h"

#include <Poco/JSON/Object.h>

#include <set>

namespace {

const char* const deviceListKey = "VHDevList";

std::string upperAscii(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

bool allowedByList(const std::string& name, const std::vector<std::string>& allowList) {
    const std::string upper = upperAscii(name);
    for (const std::string& fragment : allowList)
        if (upper.find(fragment) != std::string::npos) return true;
    return false;
}

// A fresh entry for a change list: O's ids, the address given, O's name.
VHUsbEntry changeEntry(const VHUsbEntry& old, const std::string& address, std::int32_t state) {
    return makeUsbEntry(old.vendorId, old.productId, address, old.prettyName, state);
}

} // namespace

bool isDeviceListChanged(const QorMessage& reply) {
    if (reply.isNullMember(deviceListKey)) {
        componentDebug(LogComponentMask::VH,
                       "VHGlobalUsbEntryList: QorMessage does not contain QOR_MSG_VH_DEVICE_LIST");
        return false;
    }
    const Poco::JSON::Array::Ptr devices = reply.getMember(deviceListKey).extract<Poco::JSON::Array::Ptr>();
    std::set<std::string> matched;
    for (std::size_t i = 0; i < devices->size(); ++i) {
        const Poco::JSON::Object::Ptr object = devices->get(i).extract<Poco::JSON::Object::Ptr>();
        VHUsbEntry candidate = makeUsbEntry();
        if (!parseVHUsbEntry(candidate, object)) continue;
        // A repeated address stands for the device listed first.
        if (matched.count(candidate.address) != 0) continue;
        ScopedOwnerLock guard(VHGlobalUsbEntryList.lock());
        const VHUsbEntry* held = findEntryByAddress(VHGlobalUsbEntryList, candidate.address);
        if (held == nullptr || held->state != candidate.state || held->path != candidate.path ||
            held->vendorId != candidate.vendorId || held->productId != candidate.productId)
            return true;
        matched.insert(candidate.address);
    }
    ScopedOwnerLock guard(VHGlobalUsbEntryList.lock());
    return matched.size() != VHGlobalUsbEntryList.size();
}

bool loadList(const QorMessage& reply, VHUsbEntryList& unplugged, VHUsbEntryList& disconnected,
              VHUsbEntryList& connected, const std::vector<std::string>& allowList) {
    if (reply.isNullMember(deviceListKey)) {
        logCritical("VHGlobalUsbEntryList: Invalid message in loadList, no QOR_MSG_VH_DEVICE_LIST tag");
        return false;
    }
    ScopedOwnerLock guard(VHGlobalUsbEntryList.lock());

    // The new list, read whole before anything held changes.
    VHUsbEntryList fresh;
    int count = 0;
    const Poco::JSON::Array::Ptr devices = reply.getMember(deviceListKey).extract<Poco::JSON::Array::Ptr>();
    for (std::size_t i = 0; i < devices->size(); ++i) {
        const Poco::JSON::Object::Ptr object = devices->get(i).extract<Poco::JSON::Object::Ptr>();
        auto entry = std::make_unique<VHUsbEntry>(makeUsbEntry());
        if (!parseVHUsbEntry(*entry, object)) continue;
        if (!allowList.empty()) {
            entry->enabled = allowedByList(entry->prettyName, allowList);
            componentDebug(LogComponentMask::VH, "USB device " + entry->prettyName +
                                                     (entry->enabled ? " enabled by white list"
                                                                     : " not present in white list"));
        } else {
            componentDebug(LogComponentMask::VH, "No USB device white list, adding entry " + entry->prettyName);
            entry->enabled = true;
        }
        ++count;
        addLocalUsbEntry(fresh, std::move(entry));
    }

    // What changed for the server, device by device of the old list.
    for (const std::unique_ptr<VHUsbEntry>& old : VHGlobalUsbEntryList.entries()) {
        const VHUsbEntry* now = findEntryByAddress(fresh, old->address);
        const bool wasBound = old->state == UsbStateBound;
        if (now != nullptr) {
            const bool isBound = now->state == UsbStateBound;
            if (isBound && !wasBound) {
                componentDebug(LogComponentMask::VH, "USB device " + old->prettyName + " bound by server");
                connected.append(changeEntry(*old, old->address, UsbStateBound));
            } else if (!isBound && wasBound) {
                componentDebug(LogComponentMask::VH, "USB device " + old->prettyName + " disconnected by server");
                disconnected.append(changeEntry(*old, old->address, UsbStateDiscovered));
            }
        } else if (wasBound || old->state == UsbStateBindRequested) {
            componentDebug(LogComponentMask::VH, "USB device " + old->prettyName + " disconnected");
            unplugged.append(changeEntry(*old, old->address, UsbStateDiscovered));
            disconnected.append(changeEntry(*old, std::string(), UsbStateDiscovered));
        }
    }

    VHGlobalUsbEntryList.entries().swap(fresh.entries());
    return count > 0;
}

void expirePendingRequests() {
    ScopedOwnerLock guard(VHGlobalUsbEntryList.lock());
    const std::int64_t now = usbEntryNow();
    for (const std::unique_ptr<VHUsbEntry>& entry : VHGlobalUsbEntryList.entries()) {
        if (entry->state != UsbStateBindRequested && entry->state != UsbStateReleaseRequested) continue;
        if (now - entry->timestamp <= pendingRequestExpiryMs) continue;
        logNotice("Setting VirtualHere device state from " + describeEntry(*entry) + " to " +
                  deviceStateName(UsbStateExported));
        setEntryState(*entry, UsbStateExported);
    }
}

void buildDeviceListJson(Poco::JSON::Array::Ptr array, bool enabledOnly) {
    expirePendingRequests();
    fillDeviceListJson(array, enabledOnly);
}

void fillDeviceListJson(Poco::JSON::Array::Ptr array, bool enabledOnly) {
    if (array.isNull()) throw Poco::NullPointerException("device list");
    ScopedOwnerLock guard(VHGlobalUsbEntryList.lock());
    unsigned int index = 0;
    for (const std::unique_ptr<VHUsbEntry>& entry : VHGlobalUsbEntryList.entries()) {
        if (enabledOnly && !entry->enabled) continue;
        Poco::JSON::Object::Ptr object = new Poco::JSON::Object;
        entryToJson(*entry, object);
        array->set(index++, object);
    }
}

int countEntriesInState(std::int32_t state) {
    ScopedOwnerLock guard(VHGlobalUsbEntryList.lock());
    int count = 0;
    for (const std::unique_ptr<VHUsbEntry>& entry : VHGlobalUsbEntryList.entries())
        if (entry->state == state) ++count;
    return count;
}

bool entryInStateAt(int n, std::int32_t state, std::string& address, std::string& prettyName) {
    ScopedOwnerLock guard(VHGlobalUsbEntryList.lock());
    int seen = 0;
    for (const std::unique_ptr<VHUsbEntry>& entry : VHGlobalUsbEntryList.entries()) {
        if (entry->state != state) continue;
        if (seen++ == n) {
            address = entry->address;
            prettyName = entry->prettyName;
            return true;
        }
    }
    return false;
}

bool resetEntryStates() {
    ScopedOwnerLock guard(VHGlobalUsbEntryList.lock());
    bool changed = false;
    for (const std::unique_ptr<VHUsbEntry>& entry : VHGlobalUsbEntryList.entries()) {
        if (entry->state == UsbStateIgnored || entry->state == UsbStateError) continue;
        if (entry->state != UsbStateDiscovered) changed = true;
        entry->state = UsbStateDiscovered;
    }
    return changed;
}
