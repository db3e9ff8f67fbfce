#include "ProcessHelpers.h"

#include <Poco/Exception.h>
#include <Poco/Path.h>

#include <cstdlib>
#include <cstring>

namespace {

bool needsQuotes(const std::string& argument) {
    if (argument.empty()) return false;
    if (argument.size() >= 2 && argument.front() == '"' && argument.back() == '"') return false;
    return argument.find_first_of(" \t\n\v\"") != std::string::npos;
}

} // namespace

bool isProcessRunning(std::string path) {
    std::string name;
    try {
        name = Poco::Path(path).getFileName();
    } catch (const Poco::Exception&) {
        name = path;
    }
    return findProcessId(name) != 0;
}

std::string quoteCommandArgument(const std::string& argument) {
    if (!needsQuotes(argument)) return argument;
    std::string quoted = "\"";
    std::string::size_type backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            quoted.append(2 * backslashes + 1, '\\');
        } else {
            quoted.append(backslashes, '\\');
        }
        backslashes = 0;
        quoted += c;
    }
    // Backslashes before the closing quote would escape it: doubled.
    quoted.append(2 * backslashes, '\\');
    quoted += '"';
    return quoted;
}

std::string buildCommandLine(const std::vector<std::string>& arguments) {
    std::string line;
    for (const std::string& argument : arguments) {
        if (!line.empty()) line += ' ';
        line += quoteCommandArgument(argument);
    }
    return line;
}

char* copyCString(const char* text, int maxLength) {
    const std::size_t limit = maxLength > 0 ? static_cast<std::size_t>(maxLength) : 0;
    char* copy = static_cast<char*>(std::malloc(limit + 1));
    if (copy == nullptr) return nullptr;
    std::size_t length = 0;
    if (text != nullptr)
        while (length < limit && text[length] != '\0') ++length;
    if (length > 0) std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}
