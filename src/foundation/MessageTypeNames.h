// Names of the control-protocol message types, for the log.
#pragma once

#include <string>

// -1 gives "NONE"; a number that names no type gives "TYPE_NOT_MAPPED".
std::string messageTypeName(int type);
