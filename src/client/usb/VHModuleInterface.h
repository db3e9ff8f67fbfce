// The entry points of the USB module libVirtualHereServer, which the client
// loads at run time and looks up by name. Texts are NUL-terminated; the
// module keeps the version text; a reply text of vhcExec is allocated with
// malloc and released by the caller with free.
#pragma once

#include <string>

extern "C" {
// One of the client's logging functions (trace, debug, ..., fatal).
typedef void (*VHLogFunction)(std::string text);

typedef const char* (*VHLibraryVersionFunction)();
typedef void (*QorLibLoggerInitFunction)(VHLogFunction trace, VHLogFunction debug, VHLogFunction information,
                                         VHLogFunction notice, VHLogFunction warning, VHLogFunction error,
                                         VHLogFunction critical, VHLogFunction fatal);
// vhsInit and vhcInit: executable, configuration file and log file ("" for none).
typedef bool (*VHInitFunction)(const char* executable, const char* configFile, const char* logFile);
// Nonzero on success; *reply may then point to a malloc'd text.
typedef int (*VHExecFunction)(const char* command, char** reply, bool flag);
typedef bool (*VHServiceQueryFunction)();
// vhsServerRefusal: why the last vhsInit would not use what listens on the
// USB server's port (another user's listener), "" when it did not refuse.
typedef const char* (*VHServerRefusalFunction)();
}

namespace VHModuleSymbol {
constexpr const char* LibraryVersion = "vhLibraryVersion";
constexpr const char* LoggerInit = "qorLibLoggerInit";
constexpr const char* ServerInit = "vhsInit";
constexpr const char* ClientInit = "vhcInit";
constexpr const char* ClientExec = "vhcExec";
constexpr const char* ClientServiceInstalled = "vhcServiceInstalled";
constexpr const char* ClientServiceRunning = "vhcServiceRunning";
constexpr const char* ServerRefusal = "vhsServerRefusal";
} // namespace VHModuleSymbol
