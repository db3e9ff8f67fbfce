#include "NativeClientServerSessionFinishedEvent.h"

#include <utility>

namespace qor {

NativeClientServerSessionFinishedEvent::NativeClientServerSessionFinishedEvent(std::string why, std::string name)
    : NativeClientBaseEvent(SERVER_SESSION_FINISHED), reason(std::move(why)), proxyName(std::move(name)) {}

} // namespace qor
