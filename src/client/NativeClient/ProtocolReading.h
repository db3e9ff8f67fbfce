// Reading members of control messages the way every handler reports them.
#pragma once

#include <string>

class QorMessage;

namespace qor {

// "Retrieved invalid value for " key " (" symbol ")".
std::string invalidValueText(const std::string& key, const std::string& symbol);
// The message's type; false after the invalid-value line when it has none
// that reads as an integer.
bool readMessageType(const QorMessage& message, int& type);

} // namespace qor
