#include "SettingsRegistry.h"

#include "ClientConfig.h"
#include "ConfigEntry.h"
#include "Logging.h"

#include <Poco/AutoPtr.h>
#include <Poco/Environment.h>
#include <Poco/Exception.h>
#include <Poco/Path.h>
#include <Poco/Util/LayeredConfiguration.h>
#include <Poco/Util/XMLConfiguration.h>

namespace {

std::vector<qor::ConfigEntry*>& settingsRegistry() {
    static std::vector<qor::ConfigEntry*> registry;
    return registry;
}

std::vector<std::string> pendingKeys;
std::vector<std::string> pendingValues;
std::vector<std::string> loadedConfigFiles;
std::vector<std::string> missingConfigFiles;
// Files that exist but could not be read, with the reason.
std::vector<std::pair<std::string, std::string>> unreadableConfigFiles;
// Warnings about values from before the log set-up; a few hundred settings
// at most say anything, the bound only guards against a runaway.
std::vector<std::string> heldWarnings;
constexpr std::size_t maxHeldWarnings = 1000;

constexpr int maxReferenceDepth = 10;
constexpr int maxReferences = 1000;
constexpr std::size_t maxExpandedSize = 16 * 1024;

// One level of expansion: the text at the given depth into result.
void expandInto(const Poco::Util::AbstractConfiguration& config, const std::string& text, int depth, int& references,
                std::string& result) {
    if (depth > maxReferenceDepth)
        throw Poco::CircularReferenceException("more than " + std::to_string(maxReferenceDepth) +
                                               " levels of ${} references");
    std::string::size_type at = 0;
    while (at < text.size()) {
        const std::string::size_type reference = text.find("${", at);
        const std::string::size_type close = reference == std::string::npos ? reference : text.find('}', reference + 2);
        if (close == std::string::npos) {
            result.append(text, at, std::string::npos);
        } else {
            result.append(text, at, reference - at);
            const std::string name = text.substr(reference + 2, close - reference - 2);
            if (++references > maxReferences)
                throw Poco::RangeException("more than " + std::to_string(maxReferences) + " ${} references");
            if (config.hasProperty(name))
                expandInto(config, config.getRawString(name), depth + 1, references, result);
            else
                result.append(text, reference, close + 1 - reference);
        }
        if (result.size() > maxExpandedSize)
            throw Poco::RangeException("${} references expand to more than " + std::to_string(maxExpandedSize) +
                                       " characters");
        if (close == std::string::npos) break;
        at = close + 1;
    }
}

// The keys of the leaf elements below key, in document order.
void collectLeafKeys(const Poco::Util::AbstractConfiguration& file, const std::string& key,
                     std::vector<std::string>& leaves) {
    Poco::Util::AbstractConfiguration::Keys children;
    file.keys(key, children);
    if (children.empty() && !key.empty()) leaves.push_back(key);
    for (const std::string& child : children) collectLeafKeys(file, key.empty() ? child : key + "." + child, leaves);
}

void dropRunawayValues(const Poco::Util::AbstractConfiguration& config, Poco::Util::AbstractConfiguration& file) {
    std::vector<std::string> leaves;
    collectLeafKeys(file, "", leaves);
    std::vector<std::string> refused;
    for (const std::string& key : leaves) {
        const std::string raw = file.getRawString(key, "");
        if (raw.find("${") == std::string::npos) continue;
        try {
            expandConfigReferences(config, raw);
        } catch (const Poco::Exception& e) {
            settingsWarning("Illegal value for config setting " + key + ": " + e.message() + ".  Using default value");
            refused.push_back(key);
        }
    }
    // Later elements first: taking one out renumbers the same-named ones
    // after it.
    for (auto key = refused.rbegin(); key != refused.rend(); ++key) file.remove(*key);
}

} // namespace

std::recursive_mutex& configMutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

Poco::Util::AbstractConfiguration* applicationConfiguration() {
    qor::ClientConfig* container = getClientConfig();
    return container ? container->m_baseConfig : nullptr;
}

bool registerConfigEntry(qor::ConfigEntry* entry) {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    for (qor::ConfigEntry* registered : settingsRegistry())
        if (registered->key() == entry->key()) return true;
    settingsRegistry().push_back(entry);
    return applyPendingValue(entry);
}

qor::ConfigEntry* findConfigEntry(const std::string& key) {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    for (qor::ConfigEntry* registered : settingsRegistry())
        if (registered->key() == key) return registered;
    return nullptr;
}

std::vector<qor::ConfigEntry*> registeredConfigEntries() {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    return settingsRegistry();
}

bool applyPendingValue(qor::ConfigEntry* entry) {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    for (std::size_t i = 0; i < pendingKeys.size(); ++i) {
        if (pendingKeys[i] != entry->key()) continue;
        if (entry->setFromString(pendingValues[i])) {
            componentDebug(LogComponentMask::CONF, entry->key() + " set by command line option");
            return true;
        }
        const std::string current = entry->showsValue() ? entry->asString() : std::string("********");
        settingsWarning(entry->key() + ": invalid command line option, reverting to " + current);
        return false;
    }
    return true;
}

bool setConfigValueByKey(const std::string& key, const std::string& value, bool rememberWhenMissing) {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    if (qor::ConfigEntry* entry = findConfigEntry(key)) {
        if (!entry->setFromString(value)) return false;
        applyPendingValue(entry);
        return true;
    }
    if (rememberWhenMissing) rememberPendingValue(key, value);
    return false;
}

void rememberPendingValue(const std::string& key, const std::string& value) {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    for (std::size_t i = 0; i < pendingKeys.size(); ++i) {
        if (pendingKeys[i] == key) {
            pendingValues[i] = value;
            return;
        }
    }
    pendingKeys.push_back(key);
    pendingValues.push_back(value);
}

std::vector<std::pair<std::string, std::string>> pendingConfigValues() {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    std::vector<std::pair<std::string, std::string>> pairs;
    for (std::size_t i = 0; i < pendingKeys.size(); ++i) pairs.emplace_back(pendingKeys[i], pendingValues[i]);
    return pairs;
}

const std::string& osKeySuffix() {
    static const std::string suffix = std::string("[@OS=") + configOsName() + "]";
    return suffix;
}

bool configHasKey(const std::string& key) {
    Poco::Util::AbstractConfiguration* config = applicationConfiguration();
    return config != nullptr && config->hasProperty(key);
}

bool lookupEnvironmentVariable(const std::string& name, std::string& value) {
    if (Poco::Environment::has(name)) {
        value = Poco::Environment::get(name);
        return true;
    }
    value.clear();
    Poco::Util::AbstractConfiguration* config = applicationConfiguration();
    if (config == nullptr) return false;
    try {
        const std::string property = "system.env." + name;
        if (!config->hasProperty(property)) return false;
        value = readConfigString(*config, property, "");
        return true;
    } catch (...) {
        value.clear();
        return false;
    }
}

std::string clientConfigPath(const Poco::Util::AbstractConfiguration& appConfig, const std::string& name) {
    std::string fileName = name.empty() ? appConfig.getString("application.baseName") + ".xml" : name;
    return Poco::Path::home() + Poco::Path(fileName).getFileName();
}

std::string applicationBaseName() {
    Poco::Util::AbstractConfiguration* config = applicationConfiguration();
    if (config == nullptr) throw Poco::NotFoundException("application.baseName");
    return config->getString("application.baseName");
}

std::string applicationConfigDir() {
    Poco::Util::AbstractConfiguration* config = applicationConfiguration();
    if (config == nullptr) throw Poco::NotFoundException("application.configDir");
    return config->getString("application.configDir");
}

void recordConfigFile(const std::string& path, bool loaded) {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    (loaded ? loadedConfigFiles : missingConfigFiles).push_back(path);
}

std::string expandConfigReferences(const Poco::Util::AbstractConfiguration& config, const std::string& text) {
    int references = 0;
    std::string result;
    expandInto(config, text, 1, references, result);
    return result;
}

std::string readConfigString(const Poco::Util::AbstractConfiguration& config, const std::string& property,
                             const std::string& fallback) {
    if (!config.hasProperty(property)) return fallback;
    return expandConfigReferences(config, config.getRawString(property));
}

bool loadConfigFile(Poco::Util::LayeredConfiguration& config, const std::string& path, int priority) {
    try {
        Poco::AutoPtr<Poco::Util::XMLConfiguration> file(new Poco::Util::XMLConfiguration(path));
        config.add(file, priority, false);
        dropRunawayValues(config, *file);
    } catch (const Poco::Exception& e) {
        std::lock_guard<std::recursive_mutex> lock(configMutex());
        unreadableConfigFiles.emplace_back(path, e.displayText());
        return false;
    } catch (const std::exception& e) {
        std::lock_guard<std::recursive_mutex> lock(configMutex());
        unreadableConfigFiles.emplace_back(path, e.what());
        return false;
    }
    recordConfigFile(path, true);
    return true;
}

void reportConfigFiles() {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    for (const auto& [path, reason] : unreadableConfigFiles)
        logError("Config file '" + path + "' could not be read, its settings are ignored: " + reason);
    if (loadedConfigFiles.empty()) {
        componentDebug(LogComponentMask::CONF, "Started without config file");
        return;
    }
    for (const std::string& path : loadedConfigFiles)
        componentDebug(LogComponentMask::CONF, "Config file loaded: '" + path + "'");
    for (const std::string& path : missingConfigFiles)
        componentTrace(LogComponentMask::CONF, "Config file not found '" + path + "'");
}

void settingsWarning(const std::string& text) {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    if (clientLogger() != nullptr)
        logWarning(text);
    else if (heldWarnings.size() < maxHeldWarnings)
        heldWarnings.push_back(text);
}

void logHeldSettingsWarnings() {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    for (std::string& text : heldWarnings) logWarning(std::move(text));
    heldWarnings.clear();
}
