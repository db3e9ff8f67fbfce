// Small free functions shared by the whole client: text conversions, the
// client version and start-up banner, server-address bracketing, lenient
// value parsing, the program directory, system error texts and the clock.
// They keep no state except the cached program directory and the cached OS
// platform text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Text conversions.
std::string boolToString(bool value);
// Fixed-point notation with exactly that many decimals.
std::string doubleToFixed(double value, int decimals);
// "0x" and the value in lower-case hexadecimal without leading zeros ("0x0").
std::string toHexString(std::uint32_t value);
// The text unchanged when it begins and ends with a double quote (a lone
// double quote counts), else the text wrapped in double quotes.
std::string quoteIfNeeded(const std::string& text);
// Every occurrence of search (never empty) replaced; the search resumes after
// each inserted replacement, so a replacement containing search is kept.
std::string replaceAll(std::string text, const std::string& search, const std::string& replacement);
// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string toUtf8(const std::u16string& text);

// Version and banner.
std::string getClientVersion();
// The platform the program was built on (fixed at build time).
std::string buildPlatformText();
// One line of build information: compiler, language level, POCO and OpenSSL
// versions, then a line break and the build date and time.
std::string buildInfoText();
// Logs the build information (CONF trace) and "Started on '<platform>'"
// (CONF debug). Called once by start-up after the log set-up.
void logStartupBanner();
// The operating-system text of the machine we run on, read once and cached.
std::string getOSPlatform();

// Addresses and values.
// The address as it must stand in a URL: host names and IPv4 addresses (with
// or without a port) and bracketed texts are kept, anything else is taken for
// an IPv6 literal and bracketed.
std::string normalizeServerAddress(const std::string& address);
// The longest text isSafePathSegment accepts, in bytes.
constexpr std::size_t MAX_PATH_SEGMENT_LENGTH = 256;
// True when the text may stand as one segment of a URL path that is written
// into an HTTP request line as it is (client ids, the page's path prefix):
// 1 to MAX_PATH_SEGMENT_LENGTH bytes; no control character (NUL, CR, LF, TAB,
// DEL, ...), no blank, none of "/", "\", "?", "#" and "%"; neither "." nor
// "..". Bytes outside ASCII pass: they cannot end a line or a path.
bool isSafePathSegment(const std::string& segment);
// "1", "true", "on" / "0", "false", "off" (ASCII case-insensitive); "" gives
// the default silently, anything else the default with a warning.
bool parseBool(const std::string& text, bool defaultValue);
// "major.minor"; outputs -1 until parsed.
bool parseMajorMinor(const std::string& text, int& major, int& minor);
// "major.minor[.patch]"; patch stays -1 when absent.
bool parseMajorMinorPatch(const std::string& text, int& major, int& minor, int& patch);

// Process and platform.
// The program's directory with a trailing separator, as start-up recorded
// it (the client's working directory from then on); empty before.
extern std::string programDirectory;
// The absolute directory of the program file with a trailing separator.
// The system names the running program's file; only where it cannot, the
// program path (argv[0]) is resolved against the working directory, which
// is wrong for a program found through PATH. Computed on the first call with
// a non-null path and cached for the process; later calls return the cache
// whatever they pass.
std::string applicationDirectory(const char* programPath);
// Platform part: the absolute path of the running program's file, "" when
// the system cannot tell.
std::string runningProgramPath();
bool changeDirectory(const std::string& path);
// "<code>, \"<system message>\"", or the code alone when the system has no
// message for it. Callers pass the thread's last system error (errno here).
std::string windowsErrorText(unsigned int code);
// Makes the process DPI-aware where the platform needs to be asked.
void enableDpiAwareness();
// Milliseconds since system start (CLOCK_MONOTONIC); every time-out, period
// and rate measurement of the client uses this clock.
std::int64_t monotonicMillis();
