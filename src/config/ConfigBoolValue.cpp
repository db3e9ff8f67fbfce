#include "ConfigBoolValue.h"

#include "Logging.h"
#include "SettingsRegistry.h"
#include "Utilities.h"

#include <Poco/NumberParser.h>
#include <Poco/Util/AbstractConfiguration.h>

namespace qor {

ConfigBoolValue::ConfigBoolValue(std::string key, bool defaultValue, int level, std::uint64_t componentMask)
    : ConfigValue(std::move(key), defaultValue, level, componentMask) {}

std::string ConfigBoolValue::defaultString() const { return boolToString(defaultValue_); }

std::string ConfigBoolValue::effectiveString() {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    return boolToString(value_);
}

bool ConfigBoolValue::load() {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    Poco::Util::AbstractConfiguration* config = applicationConfiguration();
    // Without a configuration there is nothing to read: the current value stays.
    if (config == nullptr) return value_;
    const std::string property = propertyName(*config);
    bool result = defaultValue_;
    if (config->hasProperty(property)) {
        const bool refusedBefore = valueRejected_;
        const std::string text = readString(*config, property, boolToString(defaultValue_));
        if (valueRejected_ != refusedBefore || text == "default") {
            result = defaultValue_;
        } else if (!Poco::NumberParser::tryParseBool(text, result)) {
            settingsWarning("Illegal value '" + shown(text) + "' for config setting " + key_ + ".  Using default value '" +
                       boolToString(defaultValue_) + "'");
            valueRejected_ = true;
            result = defaultValue_;
        }
    }
    accept(result);
    value_ = result;
    setLoaded();
    return result;
}

bool ConfigBoolValue::accept(const bool& candidate) {
    isDefault_ = candidate == defaultValue_;
    if (candidate != value_ && !isQuiet()) {
        std::string line = std::string(kindWord()) + " value '" + key_ + "' => '" + boolToString(candidate) + "'";
        if (candidate == defaultValue_) line += " (default)";
        componentDebug(LogComponentMask::CONF, line);
    }
    return true;
}

bool ConfigBoolValue::setFromString(const std::string& text) {
    bool parsed = false;
    if (!Poco::NumberParser::tryParseBool(text, parsed)) return false;
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    accept(parsed);
    value_ = parsed;
    return true;
}

bool ConfigBoolValue::trySet(const bool& v) {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    accept(v);
    value_ = v;
    return true;
}

} // namespace qor
