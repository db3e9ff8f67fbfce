#include "VHUsbEntry.h"

#include "Logging.h"
#include "Utilities.h"
#include "VHArgumentCheck.h"

#include <Poco/Dynamic/Var.h>
#include <Poco/Exception.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <typeinfo>

namespace {

std::atomic<UsbEntryClock> entryClock{nullptr};

// The member's value when it is a scalar (or null); arrays and objects raise
// Poco::BadCastException, which the library would otherwise turn into their
// JSON text or a truth value.
Poco::Dynamic::Var scalarMember(const Poco::JSON::Object::Ptr& object, const char* key) {
    Poco::Dynamic::Var value = object->get(key);
    const std::type_info& type = value.type();
    if (type == typeid(Poco::JSON::Array::Ptr) || type == typeid(Poco::JSON::Object::Ptr) ||
        type == typeid(Poco::JSON::Array) || type == typeid(Poco::JSON::Object) || value.isArray() ||
        value.isStruct())
        throw Poco::BadCastException(std::string(key) + " is not a scalar");
    return value;
}

// Converts the member to a 32-bit integer; false when it does not convert.
bool readInt(const Poco::JSON::Object::Ptr& object, const char* key, std::int32_t& value) {
    try {
        value = scalarMember(object, key).convert<Poco::Int32>();
        return true;
    } catch (const Poco::Exception&) {
        return false;
    }
}

} // namespace

VHUsbEntry makeUsbEntry() {
    VHUsbEntry entry;
    entry.timestamp = usbEntryNow();
    return entry;
}

VHUsbEntry makeUsbEntry(std::int32_t vendorId, std::int32_t productId, const std::string& address,
                        const std::string& prettyName, std::int32_t state) {
    VHUsbEntry entry = makeUsbEntry();
    entry.vendorId = vendorId;
    entry.productId = productId;
    entry.address = address;
    entry.prettyName = prettyName;
    entry.state = state;
    return entry;
}

void setUsbEntryClock(UsbEntryClock clock) { entryClock.store(clock); }

std::int64_t usbEntryNow() {
    const UsbEntryClock clock = entryClock.load();
    return clock != nullptr ? clock() : monotonicMillis();
}

std::string deviceStateName(std::int32_t state) {
    switch (state) {
    case UsbStateDiscovered: return "discovered";
    case UsbStateExported: return "exported";
    case UsbStateBound: return "bound";
    case UsbStateBindRequested: return "bind requested";
    case UsbStateReleaseRequested: return "release requested";
    case UsbStateIgnored: return "ignored";
    case UsbStateError: return "error";
    default: return "unknown";
    }
}

void setEntryState(VHUsbEntry& entry, std::int32_t state) {
    entry.state = state;
    entry.timestamp = usbEntryNow();
}

std::string entryDisplayName(const VHUsbEntry& entry) {
    if (!entry.prettyName.empty()) return entry.prettyName + " @ '" + entry.address + "'";
    return toHexString(static_cast<std::uint32_t>(entry.vendorId)) + "/" +
           toHexString(static_cast<std::uint32_t>(entry.productId));
}

std::string describeEntry(const VHUsbEntry& entry) {
    return entryDisplayName(entry) + ", VendorID: " + toHexString(static_cast<std::uint32_t>(entry.vendorId)) +
           " ProdID : " + toHexString(static_cast<std::uint32_t>(entry.productId)) + " (" +
           deviceStateName(entry.state) + ")" + (entry.enabled ? " - enabled" : " - disabled");
}

bool parseVHUsbEntry(VHUsbEntry& entry, const Poco::JSON::Object::Ptr& object) {
    if (object.isNull()) throw Poco::NullPointerException("device object");
    bool refused = false;
    if (object->has(VHDevKey::Address)) {
        entry.address = scalarMember(object, VHDevKey::Address).convert<std::string>();
        if (!validateVHArgument(entry.address, VHArgDevAddress)) refused = true;
    }
    if (object->has(VHDevKey::ProductId) && !readInt(object, VHDevKey::ProductId, entry.productId)) {
        logError("Can't parse usb product id");
        refused = true;
    }
    if (object->has(VHDevKey::VendorId) && !readInt(object, VHDevKey::VendorId, entry.vendorId)) {
        logError("Can't parse usb vendor id");
        refused = true;
    }
    if (object->has(VHDevKey::Path)) {
        entry.path = scalarMember(object, VHDevKey::Path).convert<std::string>();
        if (!validateVHArgument(entry.path, VHArgDevPath)) refused = true;
    }
    if (object->has(VHDevKey::PrettyName)) {
        entry.prettyName = scalarMember(object, VHDevKey::PrettyName).convert<std::string>();
        stripNonPrintable(entry.prettyName);
        if (!validateVHArgument(entry.prettyName, VHArgUsbPrettyName)) refused = true;
    }
    if (object->has(VHDevKey::State) && !readInt(object, VHDevKey::State, entry.state)) {
        logError("Can't parse device state");
        refused = true;
    }
    if (object->has(VHDevKey::Enabled)) {
        try {
            entry.enabled = scalarMember(object, VHDevKey::Enabled).convert<bool>();
        } catch (const Poco::Exception&) {
            logWarning("Can't parse device enabled state");
            entry.enabled = false;
        }
    }
    if (refused) entry.address.clear();
    return !entry.address.empty();
}

void entryToJson(const VHUsbEntry& entry, Poco::JSON::Object::Ptr object) {
    if (object.isNull()) throw Poco::NullPointerException("device object");
    object->set(VHDevKey::Address, entry.address);
    object->set(VHDevKey::ProductId, entry.productId);
    object->set(VHDevKey::VendorId, entry.vendorId);
    object->set(VHDevKey::Path, entry.path);
    object->set(VHDevKey::PrettyName, entry.prettyName);
    object->set(VHDevKey::State, entry.state);
    object->set(VHDevKey::Enabled, entry.enabled ? 1 : 0);
}

void stripNonPrintable(std::string& text) {
    text.erase(std::remove_if(text.begin(), text.end(),
                              [](char c) {
                                  const unsigned char u = static_cast<unsigned char>(c);
                                  return u < 0x20 || u > 0x7E;
                              }),
               text.end());
}

std::string toUpperHex(std::uint32_t value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%X", value);
    return buffer;
}
