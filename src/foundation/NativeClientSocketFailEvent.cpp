#include "NativeClientSocketFailEvent.h"

#include <utility>

namespace qor {

NativeClientSocketFailEvent::NativeClientSocketFailEvent(std::string text, std::int32_t kind, std::int32_t error)
    : NativeClientErrorEvent(SOCKET_FAILED, std::move(text), error, -1), failKind(kind) {}

} // namespace qor
