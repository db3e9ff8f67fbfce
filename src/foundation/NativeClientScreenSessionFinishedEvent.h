// Ends a screen session, or reports that one ended.
#pragma once

#include "NativeClientBaseEvent.h"

namespace qor {

class NativeClientScreenSessionFinishedEvent final : public NativeClientBaseEvent {
public:
    // screen -1 for none.
    NativeClientScreenSessionFinishedEvent(std::string reason, std::int32_t screen);

    std::string reason;
    std::int32_t screen;

private:
    ~NativeClientScreenSessionFinishedEvent() override = default;
};

} // namespace qor
