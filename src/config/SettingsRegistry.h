// Process-wide store around the settings objects: the registry of
// registered settings, the values handed over before a setting registers,
// the OS selector of configuration keys, environment lookup, the user
// configuration file and the report of the files that were read.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace Poco::Util {
class AbstractConfiguration;
class LayeredConfiguration;
}

namespace qor {
class ConfigEntry;
}

// Guards the registry, the pending values and the one-time loads of
// settings; recursive because a registration loads and sets its setting.
std::recursive_mutex& configMutex();

// The application configuration of the configuration container, or null
// while the container does not exist.
Poco::Util::AbstractConfiguration* applicationConfiguration();

bool registerConfigEntry(qor::ConfigEntry* entry);
qor::ConfigEntry* findConfigEntry(const std::string& key);
bool applyPendingValue(qor::ConfigEntry* entry);
// A snapshot of the registered settings in registration order.
std::vector<qor::ConfigEntry*> registeredConfigEntries();

bool setConfigValueByKey(const std::string& key, const std::string& value, bool rememberWhenMissing);
void rememberPendingValue(const std::string& key, const std::string& value);
// The pending pairs in order of first arrival.
std::vector<std::pair<std::string, std::string>> pendingConfigValues();

// "[@OS=Linux]": the selector of the configuration element for this system.
const std::string& osKeySuffix();
// Platform part: the value of the OS attribute that selects an element.
const char* configOsName();
bool configHasKey(const std::string& key);
bool lookupEnvironmentVariable(const std::string& name, std::string& value);

// The user configuration file: the home directory followed by the file-name
// part of name, or "application.baseName" + ".xml" when name is empty.
std::string clientConfigPath(const Poco::Util::AbstractConfiguration& appConfig, const std::string& name);
std::string applicationBaseName();
std::string applicationConfigDir();

// The text with its ${name} references to other properties of the
// configuration resolved, as the configuration library resolves them (an
// unknown name stays as it is), but within limits: references at most ten
// deep, at most 1,000 of them and a result of at most 16 KiB. Beyond a limit
// Poco::CircularReferenceException or Poco::RangeException is raised, after
// little work whatever the text.
std::string expandConfigReferences(const Poco::Util::AbstractConfiguration& config, const std::string& text);
// The property's value expanded as above; fallback when there is none.
std::string readConfigString(const Poco::Util::AbstractConfiguration& config, const std::string& property,
                             const std::string& fallback);

void recordConfigFile(const std::string& path, bool loaded);
// Reads an XML configuration file into the layered configuration at the
// given priority and records it. A file that cannot be read or parsed is
// recorded with the reason and left out, so its settings keep their defaults.
// A value whose references cannot be resolved within the limits above is
// taken out of the file with a warning: the configuration library expands
// the values it reads itself without limits.
bool loadConfigFile(Poco::Util::LayeredConfiguration& config, const std::string& path, int priority);
// Logs which configuration files were loaded, unreadable or not found.
void reportConfigFiles();

// Logs a warning about a setting's value. Settings are read before logging
// is set up; until then the warning is kept, and the log set-up logs the
// kept ones (logHeldSettingsWarnings) once it has written its first line.
void settingsWarning(const std::string& text);
void logHeldSettingsWarnings();
