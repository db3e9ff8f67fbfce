// Logging facade of the client: one function per priority, two level tests
// and the component-aware variants. Everything goes through the POCO logger
// "QOR"; until the log set-up has installed it, every call is dropped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Poco {
class Channel;
class Logger;
}

struct LogComponent {
    std::uint64_t mask;
    const char* name;
};

// 17 components in table order, then the terminator {0, ""}.
extern const LogComponent logComponents[];

// Components whose debug / trace messages are promoted to information level.
// Written on the main thread during start-up, read afterwards.
extern std::uint64_t debugComponentMask;
extern std::uint64_t traceComponentMask;

namespace LogComponentMask {
constexpr std::uint64_t BROKER = 0x1;
constexpr std::uint64_t COPY = 0x2;
constexpr std::uint64_t PASTE = 0x4;
constexpr std::uint64_t VH = 0x8;
constexpr std::uint64_t LOSSLESS = 0x10;
constexpr std::uint64_t QOS = 0x20;
constexpr std::uint64_t DECODER = 0x40;
constexpr std::uint64_t KISOK = 0x80;
constexpr std::uint64_t AUTH = 0x100000000ULL;
constexpr std::uint64_t CONF = 0x200000000ULL;
constexpr std::uint64_t KB = 0x400000000ULL;
constexpr std::uint64_t NET = 0x800000000ULL;
constexpr std::uint64_t SMGNT = 0x1000000000ULL;
constexpr std::uint64_t SSL = 0x2000000000ULL;
constexpr std::uint64_t OTHER = 0x4000000000ULL;
constexpr std::uint64_t QTGUI = 0x40000000000ULL;
constexpr std::uint64_t JS = 0x80000000000ULL;
} // namespace LogComponentMask

void logFatal(std::string text);
void logCritical(std::string text);
void logError(std::string text);
void logWarning(std::string text);
void logNotice(std::string text);
void logInformation(std::string text);
void logDebug(std::string text);
void logTrace(std::string text);

bool isDebugEnabled();
bool isTraceEnabled();

// Whether one of the components is selected for debug or trace output.
bool componentSelected(std::uint64_t components);
// A line of the components at its own priority (1 fatal to 8 trace, as the
// functions above): while one of the components is selected it is written
// at information level behind the component names and ":", otherwise at its
// priority (debug and trace lines only while that level is on).
void componentLog(std::uint64_t components, int priority, std::string text);
void componentDebug(std::uint64_t components, std::string text);
void componentTrace(std::uint64_t components, std::string text);
std::string componentNames(std::uint64_t components, bool traceMask);
std::uint64_t parseComponentList(const std::string& text);
std::vector<std::string> componentNameList();

// The client logger, or null before the log set-up.
Poco::Logger* clientLogger();

// Creates the client logger "QOR" as a child of the root logger, which must
// carry its channel and level already; from then on the facade writes.
// Called once by the log set-up; tests call it with their own channel.
void createClientLogger();

// Changes the level of the client logger only (POCO level names).
void setClientLoggerLevel(const std::string& level);

// Logging never ends the program: a line that cannot be written is dropped.
// The first such failure of the process is reported on standard error with
// this text; later ones are dropped silently.
void reportLogWriteFailure(const std::string& text);
