// What the server announced on the control protocol, recorded for the life
// of the process. Written by the control-message dispatch on a proxy thread.
// (The USB allow list and its show-all flag go to USB forwarding.)
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace qor {

extern std::atomic<std::int32_t> networkProtocolMinor;
extern std::atomic<std::int32_t> serverVersionMajor;
extern std::atomic<std::int32_t> serverVersionMinor;
extern std::atomic<bool> serverVideoPaused;
extern std::atomic<bool> kbmControl;
extern std::atomic<bool> serverInputControl;
extern std::atomic<bool> serverLocalCursor;
extern std::atomic<std::int32_t> serverFeatures;

} // namespace qor
