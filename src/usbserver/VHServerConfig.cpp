#include "VHServerConfig.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sys/stat.h>

namespace {

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

} // namespace

bool VHServerConfig::load(const std::string& path, std::string& reason) {
    lines_.clear();
    std::ifstream file(path);
    if (!file) {
        if (errno == ENOENT) return true;
        reason = std::strerror(errno);
        return false;
    }
    std::string line;
    while (std::getline(file, line)) {
        const std::string text = trimmed(line);
        const auto equals = text.find('=');
        if (text.empty() || text[0] == '#' || equals == std::string::npos)
            lines_.emplace_back("", line);
        else
            lines_.emplace_back(trimmed(text.substr(0, equals)), trimmed(text.substr(equals + 1)));
    }
    return true;
}

bool VHServerConfig::save(const std::string& path, std::string& reason) const {
    const std::string temporary = path + ".new";
    {
        std::ofstream file(temporary, std::ios::trunc);
        if (!file) {
            reason = std::strerror(errno);
            return false;
        }
        for (const auto& [key, text] : lines_) file << (key.empty() ? text : key + "=" + text) << "\n";
        if (!file.flush()) {
            reason = std::strerror(errno);
            return false;
        }
    }
    ::chmod(temporary.c_str(), 0644);
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        reason = std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

std::string VHServerConfig::value(const std::string& key, const std::string& fallback) const {
    for (const auto& [k, text] : lines_)
        if (k == key) return text;
    return fallback;
}

void VHServerConfig::set(const std::string& key, const std::string& value) {
    for (auto& [k, text] : lines_) {
        if (k == key) {
            text = value;
            return;
        }
    }
    lines_.emplace_back(key, value);
}

int VHServerConfig::port() const {
    const std::string text = value("TCPPort");
    char* end = nullptr;
    const long port = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || port < 1 || port > 65535) return defaultPort;
    return static_cast<int>(port);
}
