// The daemon's device list held in VHGlobalUsbEntryList: whether a reply
// differs from it, its rebuild from a reply with the allow list and the
// change lists that tell the server what was bound, released or unplugged,
// the local expiry of pending requests, the JSON list for the page, and
// the counts and resets that the USB support uses. Every operation takes
// the list's lock; callers that also hold the USB support lock take that
// one first.
#pragma once

#include "QorMessage.h"
#include "VHUsbEntryList.h"

#include <Poco/JSON/Array.h>

#include <cstdint>
#include <string>
#include <vector>

// A pending bind or release request older than this (in ms) counts as
// expired; exactly this old is not enough.
constexpr std::int64_t pendingRequestExpiryMs = 8000;

// True when the reply's VHDevList differs from the list held: a device
// missing or added, or one whose state, path or ids differ. Names, enabled
// flags and the order do not count; invalid elements are skipped. False
// when the reply has no VHDevList. An element that is not a JSON object
// raises the JSON library's exception.
bool isDeviceListChanged(const QorMessage& reply);

// Rebuilds the list from the reply, filtered by the allow list (upper-cased
// name fragments; empty allows all). The new list is built aside and
// replaces the held one only when every element was read: an element that
// raises leaves the held list and the three change lists as they were and
// the exception reaches the caller. A device appears once per address.
// Fills the change lists (which the caller owns and empties): unplugged and
// disconnected devices, and devices the server bound. True when at least one
// valid device object was read.
bool loadList(const QorMessage& reply, VHUsbEntryList& unplugged, VHUsbEntryList& disconnected,
              VHUsbEntryList& connected, const std::vector<std::string>& allowList);

// Sets every pending bind or release request older than the expiry to
// exported, with a notice line each.
void expirePendingRequests();
// Expires pending requests, then fills the array.
void buildDeviceListJson(Poco::JSON::Array::Ptr array, bool enabledOnly);
// One device object per entry (only the enabled ones with enabledOnly), in
// list order.
void fillDeviceListJson(Poco::JSON::Array::Ptr array, bool enabledOnly);

// Number of entries in the state.
int countEntriesInState(std::int32_t state);
// Address and name of the n-th entry (from 0) in the state; false, with the
// outputs untouched, when fewer entries are in it.
bool entryInStateAt(int n, std::int32_t state, std::string& address, std::string& prettyName);
// Sets every entry but the ignored and error ones to discovered; true when
// one of them had another state before.
bool resetEntryStates();
