#include "ConfigIntValue.h"

#include "Logging.h"
#include "SettingsRegistry.h"

#include <Poco/Exception.h>
#include <Poco/NumberParser.h>
#include <Poco/Util/AbstractConfiguration.h>

namespace {
// The configuration library's own reading of an integer text ("0x" for
// hexadecimal), for a text that was expanded within limits.
struct IntegerText : Poco::Util::AbstractConfiguration {
    using AbstractConfiguration::parseInt;
};
} // namespace

namespace qor {

ConfigIntValue::ConfigIntValue(std::string key, int defaultValue, int minimum, int maximum, int level,
                               std::uint64_t componentMask)
    : ConfigValue(std::move(key), defaultValue, level, componentMask), minimum_(minimum), maximum_(maximum) {}

std::string ConfigIntValue::effectiveString() {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    return std::to_string(value_);
}

int ConfigIntValue::load() {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    Poco::Util::AbstractConfiguration* config = applicationConfiguration();
    if (config == nullptr) return value_;
    setLoaded();
    const std::string property = propertyName(*config);
    int result = defaultValue_;
    try {
        if (config->hasProperty(property)) result = IntegerText::parseInt(readConfigString(*config, property, ""));
    } catch (const Poco::Exception&) {
        // Not a number: refused like a value out of range.
        settingsWarning("Illegal value '" + config->getRawString(property, "") + "' for config setting " + key_ +
                   ".  Using default value '" + std::to_string(defaultValue_) + "'");
        valueRejected_ = true;
        value_ = defaultValue_;
        return value_;
    }
    if (accept(result)) {
        value_ = result;
    } else {
        value_ = defaultValue_;
        settingsWarning("Illegal value '" + std::to_string(result) + "' for config setting " + key_ +
                   ".  Using default value '" + std::to_string(defaultValue_) + "'");
        valueRejected_ = true;
        result = value_;
    }
    return result;
}

bool ConfigIntValue::accept(const int& candidate) {
    if (minimum_ != NoLimit && candidate < minimum_) {
        settingsWarning(lastComponent() + " value '" + std::to_string(candidate) + "' is set too low.");
        return false;
    }
    if (maximum_ != NoLimit && candidate > maximum_) {
        settingsWarning(lastComponent() + " value '" + std::to_string(candidate) + "' is set too high.");
        return false;
    }
    if (candidate != value_ && !isQuiet()) logChange(std::to_string(candidate));
    isDefault_ = candidate == defaultValue_;
    return true;
}

bool ConfigIntValue::setFromString(const std::string& text) {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    int parsed = 0;
    if (!Poco::NumberParser::tryParse(text, parsed)) {
        settingsWarning("Illegal number syntax in value '" + text + "' for config setting " + key_ + ".  Keeping value '" +
                   std::to_string(value_) + "'");
        valueRejected_ = true;
        return false;
    }
    if (!accept(parsed)) {
        settingsWarning("Illegal value '" + text + "' for config setting " + key_ + ".  Keeping value '" +
                   std::to_string(value_) + "'");
        valueRejected_ = true;
        return false;
    }
    value_ = parsed;
    return true;
}

bool ConfigIntValue::trySet(const int& v) {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    if (!accept(v)) return false;
    value_ = v;
    return true;
}

} // namespace qor
