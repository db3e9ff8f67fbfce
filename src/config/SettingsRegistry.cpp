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
        value = config->getString("system.env." + name);
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

bool loadConfigFile(Poco::Util::LayeredConfiguration& config, const std::string& path, int priority) {
    try {
        Poco::AutoPtr<Poco::Util::XMLConfiguration> file(new Poco::Util::XMLConfiguration(path));
        config.add(file, priority, false);
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
