// A process-wide list of device entries in insertion order with its own
// lock, and the operations of single lists. Two such lists live from before
// main to the end of the process: VHGlobalUsbEntryList (the vhproxy
// daemon's devices) and localUsbDeviceList (the devices found on this
// machine). The change lists of a rebuild are lists of the same kind that
// one thread owns.
#pragma once

#include "OwnerLock.h"
#include "VHUsbEntry.h"

#include <cstdint>
#include <list>
#include <memory>
#include <string>

class VHUsbEntryList {
public:
    using Entries = std::list<std::unique_ptr<VHUsbEntry>>;

    VHUsbEntryList() = default;
    VHUsbEntryList(const VHUsbEntryList&) = delete;
    VHUsbEntryList& operator=(const VHUsbEntryList&) = delete;

    // The list's lock; it admits its holder again.
    OwnerLock& lock() { return lock_; }
    // The entries; the caller holds the lock or owns the list alone.
    Entries& entries() { return entries_; }
    const Entries& entries() const { return entries_; }
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    // Appends without any test (change lists).
    void append(VHUsbEntry entry) { entries_.push_back(std::make_unique<VHUsbEntry>(std::move(entry))); }

private:
    OwnerLock lock_;
    Entries entries_;
};

// The devices of the last daemon list that differed from the one held.
extern VHUsbEntryList VHGlobalUsbEntryList;
// The devices found on this machine so far; it only grows.
extern VHUsbEntryList localUsbDeviceList;

// Under the list's lock, appends the entry unless the list holds the same
// device already: an entry with the same address when the new entry has an
// address, else one with the same vendor and product ids. False (and the
// entry dropped) when it was not added.
bool addLocalUsbEntry(VHUsbEntryList& list, std::unique_ptr<VHUsbEntry> entry);
// Under the list's lock, the first entry with exactly that address, or null.
// The pointer stays valid until the list is rebuilt.
VHUsbEntry* findEntryByAddress(VHUsbEntryList& list, const std::string& address);
// Under the list's lock, the first entry with both ids, or null.
VHUsbEntry* findEntryByIds(VHUsbEntryList& list, std::int32_t vendorId, std::int32_t productId);
// Deletes every entry; takes no lock (lists one thread owns).
void clearEntryList(VHUsbEntryList& list);
// Under the list's lock: "VirtualHere device <n>: <description>" per entry,
// logged at debug and, with toConsole, written to standard output.
void printUsbEntryList(VHUsbEntryList& list, bool toConsole);
