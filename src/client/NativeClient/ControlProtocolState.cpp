#include "ControlProtocolState.h"

namespace qor {

std::atomic<std::int32_t> networkProtocolMinor{0};
std::atomic<std::int32_t> serverVersionMajor{0};
std::atomic<std::int32_t> serverVersionMinor{0};
std::atomic<bool> serverVideoPaused{false};
std::atomic<bool> kbmControl{false};
std::atomic<bool> serverInputControl{false};
std::atomic<bool> serverLocalCursor{false};
std::atomic<std::int32_t> serverFeatures{0};

} // namespace qor
