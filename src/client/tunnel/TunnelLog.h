// Log lines of the port tunnels. They belong to the log component VH: with
// VH selected in the debug or trace component mask a line is written at
// information level behind the component names and ":", otherwise at its
// own priority (debug lines only while debug output is on).
#pragma once

#include <string>

namespace qor {

enum class TunnelLogLevel { FATAL, CRITICAL, ERROR, WARNING, NOTICE, INFORMATION, DEBUG };

// True when a debug line of the component would be written: callers build
// such texts only then.
bool tunnelDebugEnabled();
void tunnelLog(TunnelLogLevel level, const std::string& text);
void tunnelDebug(const std::string& text);

} // namespace qor
