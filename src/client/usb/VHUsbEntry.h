// One USB device as the client knows it: from the vhproxy daemon's device
// list (a device of this machine's VirtualHere server with its address and
// its state towards the remote machine), or from the local enumeration.
// Also the device's JSON object inside VHDevList and its log texts.
#pragma once

#include <Poco/JSON/Object.h>

#include <cstdint>
#include <string>

// A device's state towards the remote machine.
enum UsbDeviceState : std::int32_t {
    UsbStateDiscovered = 0,
    UsbStateExported = 1,
    UsbStateBound = 2,
    UsbStateBindRequested = 3,
    UsbStateReleaseRequested = 4,
    UsbStateIgnored = 5,
    UsbStateError = 6,
};

// The members of a device object inside VHDevList.
namespace VHDevKey {
constexpr const char* Address = "VHDevAddress";
constexpr const char* Enabled = "VHDevEnabled";
constexpr const char* Path = "VHDevPath";
constexpr const char* PrettyName = "VHDevPrettyName";
constexpr const char* ProductId = "VHDevProductId";
constexpr const char* State = "VHDevState";
constexpr const char* VendorId = "VHDevVendorId";
} // namespace VHDevKey

struct VHUsbEntry {
    std::int32_t state = UsbStateDiscovered;
    // When the entry was made or its state last set here (usbEntryClock).
    std::int64_t timestamp = 0;
    std::int32_t productId = 0;
    std::int32_t vendorId = 0;
    // May be offered to the server (allow list).
    bool enabled = true;
    // The device's VirtualHere address: the key of the entry in a list.
    std::string address;
    // bDeviceClass / bDeviceSubClass of local devices; 0 otherwise.
    std::int32_t deviceClass = 0;
    std::int32_t deviceSubClass = 0;
    std::string path;
    std::string prettyName;
};

// A new entry stamped now: discovered, enabled, ids 0 and empty texts.
VHUsbEntry makeUsbEntry();
// A new entry stamped now with the given ids, address, name and state.
VHUsbEntry makeUsbEntry(std::int32_t vendorId, std::int32_t productId, const std::string& address,
                        const std::string& prettyName, std::int32_t state);

// The clock of entry stamps and of the expiry of pending requests;
// monotonicMillis unless a test sets another (null restores it).
using UsbEntryClock = std::int64_t (*)();
void setUsbEntryClock(UsbEntryClock clock);
std::int64_t usbEntryNow();

// "discovered", "exported", ... and "unknown" for any other value.
std::string deviceStateName(std::int32_t state);
// Sets the state and stamps the entry now.
void setEntryState(VHUsbEntry& entry, std::int32_t state);

// "name @ 'address'", or "0x46d/0xa5c" for an entry without a name.
std::string entryDisplayName(const VHUsbEntry& entry);
// The display name, the two ids, the state and whether it is enabled.
std::string describeEntry(const VHUsbEntry& entry);

// Reads a device object into the entry; true when the entry is valid (its
// address is not empty). A member that fails its check or its conversion
// empties the address; an absent member leaves its field as it was. An
// address, path or name that cannot be converted to text raises the JSON
// library's exception; a null object raises Poco::NullPointerException.
bool parseVHUsbEntry(VHUsbEntry& entry, const Poco::JSON::Object::Ptr& object);
// Sets the seven members of a device object.
void entryToJson(const VHUsbEntry& entry, Poco::JSON::Object::Ptr object);

// Removes every byte that is not printable ASCII (0x20 to 0x7E).
void stripNonPrintable(std::string& text);
// Upper-case hexadecimal digits without prefix or leading zeros ("A5C").
std::string toUpperHex(std::uint32_t value);
