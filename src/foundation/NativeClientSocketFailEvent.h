// A failed socket operation of the server connection; an error event of the
// whole connection (screen -1).
#pragma once

#include "NativeClientErrorEvent.h"

namespace qor {

class NativeClientSocketFailEvent final : public NativeClientErrorEvent {
public:
    NativeClientSocketFailEvent(std::string message, std::int32_t failKind, std::int32_t errorCode);

    std::int32_t failKind;

private:
    ~NativeClientSocketFailEvent() override = default;
};

} // namespace qor
