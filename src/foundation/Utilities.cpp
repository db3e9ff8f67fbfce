#include "Utilities.h"

#include "Logging.h"

#include <Poco/Exception.h>
#include <Poco/NumberParser.h>
#include <Poco/Path.h>
#include <Poco/RegularExpression.h>
#include <Poco/Version.h>
#include <openssl/opensslv.h>

#include <cstdio>
#include <iomanip>
#include <locale>
#include <mutex>
#include <sstream>

std::string boolToString(bool value) { return value ? "true" : "false"; }

std::string doubleToFixed(double value, int decimals) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << std::fixed << std::setprecision(decimals) << value;
    return out.str();
}

std::string toHexString(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned int>(value));
    return text;
}

std::string quoteIfNeeded(const std::string& text) {
    if (!text.empty() && text.front() == '"' && text.back() == '"') return text;
    return "\"" + text + "\"";
}

std::string replaceAll(std::string text, const std::string& search, const std::string& replacement) {
    if (search.empty()) return text;
    std::string::size_type pos = 0;
    while ((pos = text.find(search, pos)) != std::string::npos) {
        text.replace(pos, search.size(), replacement);
        pos += replacement.size();
    }
    return text;
}

namespace {

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool isHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

} // namespace

std::string toUtf8(const std::u16string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (isHighSurrogate(c) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
            appendUtf8(out, 0x10000 + ((char32_t(c) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00));
            ++i;
        } else if (isHighSurrogate(c) || isLowSurrogate(c)) {
            appendUtf8(out, 0xFFFD);
        } else {
            appendUtf8(out, c);
        }
    }
    return out;
}

std::string getClientVersion() { return "14.0.0"; }

namespace {

#define QDK_STRINGIFY2(x) #x
#define QDK_STRINGIFY(x) QDK_STRINGIFY2(x)

std::string compilerText() {
#if defined(__clang__)
    return "clang++ " __clang_version__;
#elif defined(__GNUC__)
    return "g++ " __VERSION__;
#elif defined(_MSC_FULL_VER)
    return "Visual Studio " QDK_STRINGIFY(_MSC_FULL_VER);
#else
    return "unknown compiler";
#endif
}

std::string languageText() {
#if defined(_MSVC_LANG)
    return "_MSVC_LANG " + std::to_string(_MSVC_LANG);
#else
    return "__cplusplus " + std::to_string(__cplusplus);
#endif
}

std::string pocoVersionText() {
    const unsigned long word = POCO_VERSION;
    char text[32];
    std::snprintf(text, sizeof text, "%d.%d.%d", static_cast<int>((word >> 24) & 0xFF),
                  static_cast<int>((word >> 16) & 0xFF), static_cast<int>((word >> 8) & 0xFF));
    return text;
}

} // namespace

std::string buildInfoText() {
    // A blank separates date and time so the year does not run into the hour.
    return compilerText() + ", " + languageText() + ", poco " + pocoVersionText() + ", openssl " +
           toHexString(static_cast<std::uint32_t>(OPENSSL_VERSION_NUMBER)) + "\nBuild: " __DATE__ " " __TIME__;
}

void logStartupBanner() {
    componentTrace(LogComponentMask::CONF, buildInfoText());
    componentDebug(LogComponentMask::CONF, "Started on '" + getOSPlatform() + "'");
}

std::string normalizeServerAddress(const std::string& address) {
    if (address.empty() || address[0] == '[') return address;
    // Host name, host name with port, IPv4 address, IPv4 address with port.
    static const Poco::RegularExpression forms[] = {
        Poco::RegularExpression("^(([a-zA-Z0-9]|[a-zA-Z0-9][a-zA-Z0-9\\-]*[a-zA-Z0-9])\\.)*"
                                "([A-Za-z0-9]|[A-Za-z0-9][A-Za-z0-9\\-]*[A-Za-z0-9])$"),
        Poco::RegularExpression("^(([a-zA-Z0-9]|[a-zA-Z0-9][a-zA-Z0-9\\-]*[a-zA-Z0-9])\\.)*"
                                "([A-Za-z0-9]|[A-Za-z0-9][A-Za-z0-9\\-]*[A-Za-z0-9]):[1-9]+[0-9]*$"),
        Poco::RegularExpression("^(25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)"
                                "(\\.(25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)){3}$"),
        Poco::RegularExpression("^(25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)"
                                "(\\.(25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)){3}:[1-9]+[0-9]*$"),
    };
    for (const Poco::RegularExpression& form : forms) {
        // match() succeeds only when the match covers the whole text.
        if (form.match(address, 0, 0)) return address;
    }
    return "[" + address + "]";
}

bool isSafePathSegment(const std::string& segment) {
    if (segment.empty() || segment.size() > MAX_PATH_SEGMENT_LENGTH || segment == "." || segment == "..")
        return false;
    // Separators, the starts of query and fragment, and the escape sign.
    static const std::string delimiters = "/\\?#%";
    for (char c : segment) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7f || delimiters.find(c) != std::string::npos) return false;
    }
    return true;
}

bool parseBool(const std::string& text, bool defaultValue) {
    std::string lower = text;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (text == "1" || lower == "true" || lower == "on") return true;
    if (text == "0" || lower == "false" || lower == "off") return false;
    if (text.empty()) return defaultValue;
    logWarning("Can't parse boolean value '" + text + "'.  Using default value: '" + boolToString(defaultValue) + "'");
    return defaultValue;
}

bool parseMajorMinor(const std::string& text, int& major, int& minor) {
    major = -1;
    minor = -1;
    if (text.size() < 2) return false;
    const std::string::size_type dot = text.find('.', 1);
    if (dot == std::string::npos) return false;
    int value = 0;
    if (!Poco::NumberParser::tryParse(text.substr(dot + 1), value)) return false;
    minor = value;
    if (!Poco::NumberParser::tryParse(text.substr(0, dot), value)) return false;
    major = value;
    return true;
}

bool parseMajorMinorPatch(const std::string& text, int& major, int& minor, int& patch) {
    major = -1;
    minor = -1;
    patch = -1;
    if (text.size() < 2) return false;
    const std::string::size_type dot = text.find('.', 1);
    if (dot == std::string::npos) return false;
    const std::string::size_type second = text.find('.', dot + 1);
    const std::string minorText =
        second == std::string::npos ? text.substr(dot + 1) : text.substr(dot + 1, second - dot - 1);
    int value = 0;
    if (!Poco::NumberParser::tryParse(text.substr(0, dot), value)) return false;
    major = value;
    if (!Poco::NumberParser::tryParse(minorText, value)) return false;
    minor = value;
    if (second == std::string::npos) return true;
    if (!Poco::NumberParser::tryParse(text.substr(second + 1), value)) return false;
    patch = value;
    return true;
}

std::string programDirectory;

std::string applicationDirectory(const char* programPath) {
    static std::mutex cacheLock;
    static const std::string* cached = nullptr; // kept for the life of the process
    std::lock_guard<std::mutex> guard(cacheLock);
    if (cached) return *cached;
    if (!programPath) return "";

    std::string text = runningProgramPath();
    if (text.empty()) {
        try {
            Poco::Path path(programPath);
            path.makeAbsolute();
            text = path.toString();
        } catch (const Poco::Exception&) {
            text = programPath;
        }
    }
    constexpr std::string::size_type maxLength = 8192;
    if (text.size() > maxLength) {
        logCritical("Path too long: " + text);
        text.resize(maxLength);
    }
    // The whole text is searched, so a program in the root directory gets "/".
    const std::string::size_type cut = text.rfind(Poco::Path::separator());
    if (cut != std::string::npos) text.resize(cut + 1);
    cached = new std::string(text);
    return *cached;
}
