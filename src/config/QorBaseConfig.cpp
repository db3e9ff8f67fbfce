#include "QorBaseConfig.h"

#include "ClientConfig.h"
#include "ConfigEntry.h"
#include "FileHelpers.h"
#include "Logging.h"
#include "SettingsRegistry.h"
#include "Utilities.h"

#include <Poco/Exception.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

namespace {

// Longest section key the writer handles.
constexpr std::size_t maxSectionKey = 8192;

bool qualifies(qor::ConfigEntry* entry) {
    return entry->writeClass() < 2 || configSaveMode == 8 ||
           (entry->writeClass() == 2 && entry->valueString() != entry->defaultString());
}

// Element text: the five XML special characters as entities, and a
// carriage return as a character reference (a reader would turn it into a
// line feed otherwise).
std::string escapeXml(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '\r': escaped += "&#13;"; break;
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        case '\'': escaped += "&apos;"; break;
        default: escaped += c;
        }
    }
    return escaped;
}

// Inside a comment "--" may not appear; the second dash becomes an entity,
// which reads back as a dash once the element is taken out of the comment.
std::string escapeXmlComment(const std::string& text) {
    std::string escaped = escapeXml(text);
    std::string result;
    for (char c : escaped) {
        if (c == '-' && !result.empty() && result.back() == '-')
            result += "&#45;";
        else
            result += c;
    }
    return result;
}

// The key part at position depth of every registered setting below the
// section, without repeats, in order of first appearance.
std::vector<std::string> subSections(const std::string& sectionKey, int depth, const char* tooLongText) {
    std::vector<std::string> parts;
    for (qor::ConfigEntry* entry : registeredConfigEntries()) {
        if (entry->componentCount() <= depth + 1) continue;
        if (sectionKey.size() > maxSectionKey) {
            logCritical(tooLongText + sectionKey);
            continue;
        }
        if (entry->prefix().compare(0, sectionKey.size(), sectionKey) != 0) continue;
        const std::string& part = entry->components()[depth];
        if (std::find(parts.begin(), parts.end(), part) == parts.end()) parts.push_back(part);
    }
    return parts;
}

} // namespace

bool hasSavableEntries(const std::string& prefix, int depth) {
    for (qor::ConfigEntry* entry : registeredConfigEntries())
        if (entry->writeClass() != 4 && entry->prefix() == prefix && qualifies(entry)) return true;
    for (const std::string& part : subSections(prefix, depth, "QorBaseConfig path too long: "))
        if (hasSavableEntries(prefix + "." + part, depth + 1)) return true;
    return false;
}

namespace qor {

void QorBaseConfig::writeConfigXml(std::ostream& file, const std::string& sectionKey, int depth) {
    const std::string indent(static_cast<std::size_t>(depth) * 4, ' ');
    for (ConfigEntry* entry : registeredConfigEntries()) {
        if (entry->prefix() != sectionKey || !qualifies(entry)) continue;
        const std::string& name = entry->lastComponent();
        const std::string value = entry->valueString();
        // The settings refuse such values; whatever else holds one is left
        // out, so that the file stays readable and keeps everything else.
        if (const char* reason = unwritableTextReason(value)) {
            logError("Can't write config setting " + entry->key() + ": its value holds " + reason);
            continue;
        }
        if (value == entry->defaultString())
            file << indent << "    <!-- <" << name << ">" << escapeXmlComment(value) << "</" << name << "> -->\n";
        else
            file << indent << "    <" << name << ">" << escapeXml(value) << "</" << name << ">\n";
    }
    for (const std::string& part : subSections(sectionKey, depth, "config tag too long: ")) {
        const std::string sub = sectionKey + "." + part;
        if (!hasSavableEntries(sub, depth + 1)) continue;
        file << indent << "    <" << part << ">\n";
        writeConfigXml(file, sub, depth + 1);
        file << indent << "    </" << part << ">\n";
    }
}

bool QorBaseConfig::writeConfigFile(std::string path, bool backup, std::string& errorText) {
    if (path.empty()) path = defaultConfigFilePath();
    if (path.find("AppData") != std::string::npos) path = applicationBaseName() + ".xml";
    logInformation("Writing config file '" + path + "'");

    std::string backupPath;
    const bool backupMade = backup && backupConfigFile(path, backupPath);

    const std::string openError = "Can't open configuration file '" + path + "' for writing";
    std::string text;
    try {
        std::ostringstream xml;
        xml << "<config>\n";
        for (int index = 0; const char* name = sectionName(index); ++index) {
            if (!hasSavableEntries(name, 1)) continue;
            xml << "  <" << name << ">\n";
            writeConfigXml(xml, name, 1);
            xml << "  </" << name << ">\n";
        }
        xml << "</config>\n";
        text = xml.str();
    } catch (const std::exception&) {
        errorText = openError;
        logError(errorText);
        return false;
    }

    FileHandle file = openFileWithMode(path, 1, false);
    if (!file || !restrictToOwner(file.stream()) || file.write(text.data(), text.size()) != std::ptrdiff_t(text.size()) ||
        !file.close()) {
        errorText = openError;
        logError(errorText);
        return false;
    }

    if (backupMade && sameFileContents(path, backupPath) && std::remove(backupPath.c_str()) != 0)
        logError("Can't delete backup " + windowsErrorText(static_cast<unsigned int>(errno)));
    return true;
}

} // namespace qor

std::string defaultConfigFilePath() {
    if (getClientConfig() == nullptr) {
        std::printf("m_baseConfig is NULL\n");
        return std::string();
    }
    // The file the start-up reads the user's settings from, so that what is
    // written is read at the next start.
    return clientConfigPath(*getClientConfig()->m_baseConfig, "");
}

bool backupConfigFile(const std::string& path, std::string& backupPath) {
    backupPath.clear();
    if (checkFileAttributes(path, FileKind::RegularFile) != FileAttributes::Usable) return false;
    for (int n = 1; n <= 999; ++n) {
        backupPath = path + "." + std::to_string(n);
        if (checkFileAttributes(backupPath, FileKind::RegularFile) != FileAttributes::Usable) break;
    }
    FileHandle source = openFileWithMode(path, 0, false);
    if (!source) {
        logError("Can't open config '" + path + "'");
        return false;
    }
    componentDebug(LogComponentMask::CONF, "Opened config to backup: '" + path + "'");
    FileHandle target = openFileWithMode(backupPath, 1, false);
    if (!target || !restrictToOwner(target.stream())) {
        logError("Can't open backup file: '" + backupPath + "'");
        return false;
    }
    componentDebug(LogComponentMask::CONF, "Opened backup location: '" + backupPath + "'");
    char block[512];
    for (;;) {
        const std::ptrdiff_t n = source.read(block, sizeof block);
        if (n <= 0) break;
        if (target.write(block, static_cast<std::size_t>(n)) != n) {
            logError("Can't write backup file: '" + backupPath + "'");
            return false;
        }
    }
    return target.close();
}

bool sameFileContents(const std::string& path, const std::string& backupPath) {
    if (checkFileAttributes(path, FileKind::RegularFile) != FileAttributes::Usable) {
        logError("Can't open config '" + path + "'");
        return false;
    }
    if (checkFileAttributes(backupPath, FileKind::RegularFile) != FileAttributes::Usable) {
        logError("Can't open backup config '" + backupPath + "'");
        return false;
    }
    FileHandle first = openFileWithMode(path, 0, false);
    if (!first) {
        logError("Can't open config '" + path + "'");
        return false;
    }
    FileHandle second = openFileWithMode(backupPath, 0, false);
    if (!second) {
        logError("Can't open backup file: '" + backupPath + "'");
        return false;
    }
    char a[512];
    char b[512];
    for (;;) {
        const std::ptrdiff_t n = first.read(a, sizeof a);
        if (n < 0) return false;
        std::ptrdiff_t m = 0;
        while (m < n) {
            const std::ptrdiff_t got = second.read(b + m, static_cast<std::size_t>(n - m));
            if (got <= 0) return false;
            m += got;
        }
        if (n == 0) return second.read(b, 1) == 0;
        if (std::memcmp(a, b, static_cast<std::size_t>(n)) != 0) return false;
    }
}
