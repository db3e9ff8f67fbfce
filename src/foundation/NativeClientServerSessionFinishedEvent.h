// Reports the end of a server connection, or asks NativeClient to finish.
#pragma once

#include "NativeClientBaseEvent.h"

namespace qor {

class NativeClientServerSessionFinishedEvent final : public NativeClientBaseEvent {
public:
    NativeClientServerSessionFinishedEvent(std::string reason, std::string proxyName);

    std::string reason;
    std::string proxyName;

private:
    ~NativeClientServerSessionFinishedEvent() override = default;
};

} // namespace qor
