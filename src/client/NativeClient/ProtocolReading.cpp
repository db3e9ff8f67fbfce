#include "ProtocolReading.h"

#include "Logging.h"
#include "ProtocolKeys.h"
#include "QorMessage.h"

namespace qor {

std::string invalidValueText(const std::string& key, const std::string& symbol) {
    return "Retrieved invalid value for " + key + " (" + symbol + ")";
}

bool readMessageType(const QorMessage& message, int& type) {
    try {
        type = message.getType();
        return true;
    } catch (...) {
        logError(invalidValueText(QOR_MSG_TYPE, "QOR_MSG_TYPE"));
        return false;
    }
}

} // namespace qor
