// The user closed the window of a remote screen.
#pragma once

#include "NativeClientBaseEvent.h"

namespace qor {

class NativeClientScreenClosedEvent final : public NativeClientBaseEvent {
public:
    explicit NativeClientScreenClosedEvent(std::int32_t screen);

    std::int32_t screen;

private:
    ~NativeClientScreenClosedEvent() override = default;
};

} // namespace qor
