// Linux side of the utilities: system error texts, working directory, the
// running program's file, clock and the platform texts of the start-up
// banner.
#include "Utilities.h"

#include "Logging.h"

#include <climits>
#include <cstring>
#include <fstream>
#include <string>

#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#ifndef QDK_BUILD_PLATFORM
#define QDK_BUILD_PLATFORM "Linux"
#endif

namespace {

// strerror_r comes in two flavours; each overload picks the message of one.
[[maybe_unused]] const char* errorMessage(int result, const char* buffer) { return result == 0 ? buffer : nullptr; }
[[maybe_unused]] const char* errorMessage(const char* message, const char*) { return message; }

bool isKnownError(int code) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
    return strerrorname_np(code) != nullptr;
#else
    char buffer[256];
    const char* message = errorMessage(strerror_r(code, buffer, sizeof buffer), buffer);
    return message && std::strncmp(message, "Unknown error", 13) != 0;
#endif
}

std::string trimmed(const std::string& text) {
    const char* blanks = " \t\r\n\v\f";
    const std::string::size_type first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// PRETTY_NAME of os-release(5), unquoted; "" when there is none.
std::string distributionName() {
    for (const char* file : {"/etc/os-release", "/usr/lib/os-release"}) {
        std::ifstream in(file);
        if (!in) continue;
        std::string line;
        while (std::getline(in, line)) {
            if (line.compare(0, 12, "PRETTY_NAME=") != 0) continue;
            std::string value = trimmed(line.substr(12));
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
                value = value.substr(1, value.size() - 2);
            return trimmed(value);
        }
    }
    return "";
}

std::string kernelName() {
    struct utsname names;
    if (uname(&names) != 0) return "";
    return trimmed(std::string(names.sysname) + " " + names.release + " " + names.version);
}

std::string readOSPlatform() {
    const std::string distribution = distributionName();
    const std::string kernel = kernelName();
    if (distribution.empty() && kernel.empty()) {
        const std::string text = "getOSPlatform: Can't search OS version.";
        if (((debugComponentMask | traceComponentMask) & LogComponentMask::CONF) != 0)
            logInformation(componentNames(LogComponentMask::CONF, false) + ":" + text);
        else
            logCritical(text);
        return "Generic Linux";
    }
    if (distribution.empty()) return kernel;
    if (kernel.empty()) return distribution;
    return distribution + " [" + kernel + "]";
}

} // namespace

std::string windowsErrorText(unsigned int code) {
    const std::string number = std::to_string(code);
    if (code > static_cast<unsigned int>(INT_MAX) || !isKnownError(static_cast<int>(code))) return number;
    char buffer[256];
    const char* message = errorMessage(strerror_r(static_cast<int>(code), buffer, sizeof buffer), buffer);
    if (!message || !*message) return number;
    return number + ", \"" + message + "\"";
}

bool changeDirectory(const std::string& path) { return chdir(path.c_str()) == 0; }

std::string runningProgramPath() {
    std::string path(PATH_MAX, '\0');
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0) return "";
        if (static_cast<std::size_t>(n) < path.size()) {
            path.resize(static_cast<std::size_t>(n));
            return path;
        }
        path.resize(path.size() * 2); // cut short: try a larger buffer
    }
}

// X11 and Wayland scaling is negotiated by Qt itself; the process has nothing
// to declare.
void enableDpiAwareness() {}

std::int64_t monotonicMillis() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string buildPlatformText() { return QDK_BUILD_PLATFORM; }

// The distribution's name and the kernel's name, release and version, e.g.
// "Debian GNU/Linux 12 (bookworm) [Linux 6.1.0-18-amd64 #1 SMP
// PREEMPT_DYNAMIC Debian 6.1.76-1 (2024-02-01)]"; "Generic Linux" when
// neither can be read.
std::string getOSPlatform() {
    static const std::string platform = readOSPlatform();
    return platform;
}
