#include "ConfigStringValue.h"

#include "Logging.h"
#include "SettingsRegistry.h"

#include <Poco/Util/AbstractConfiguration.h>

#include <algorithm>

namespace qor {

namespace {
// The one key whose refused value is reported without the default and
// keeps the value it has.
const char* const sameOriginKey = "Server.Security.SameOriginHeaders";
} // namespace

ConfigStringValue::ConfigStringValue(std::string key, std::string defaultValue, std::vector<std::string> allowed,
                                     int level, std::uint64_t componentMask)
    : ConfigValue(std::move(key), std::move(defaultValue), level, componentMask), allowedList_(std::move(allowed)) {}

std::string ConfigStringValue::effectiveString() {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    return value_;
}

std::string ConfigStringValue::load() {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    Poco::Util::AbstractConfiguration* config = applicationConfiguration();
    if (config == nullptr) return value_;
    std::string text = readString(*config, propertyName(*config), defaultValue_);
    setLoaded();
    if (accept(text)) {
        value_ = text;
    } else {
        valueRejected_ = true;
        if (key_ == sameOriginKey) {
            settingsWarning("Illegal value '" + shown(text) + "' for config setting " + key_ + ".");
        } else {
            settingsWarning("Illegal value '" + shown(text) + "' for config setting " + key_ + ".  Using default value '" +
                       shown(defaultValue_) + "'");
            value_ = defaultValue_;
        }
    }
    return value_;
}

bool ConfigStringValue::accept(const std::string& candidate) {
    if (!allowedList_.empty() && std::find(allowedList_.begin(), allowedList_.end(), candidate) == allowedList_.end())
        return false;
    if (!acceptsWritableText(candidate)) return false;
    if (candidate != value_ && !updating_) logChange(candidate, value_.empty() || isQuiet());
    isDefault_ = candidate == defaultValue_;
    return true;
}

bool ConfigStringValue::setFromString(const std::string& text) {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    if (!accept(text)) {
        settingsWarning("Illegal value '" + shown(text) + "' for config setting " + key_ + ".  Keeping value '" +
                   shown(value_) + "'");
        valueRejected_ = true;
        return false;
    }
    value_ = text;
    return true;
}

bool ConfigStringValue::update(const std::string& text) {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    updating_ = true;
    bool result = setFromString(text);
    updating_ = false;
    return result;
}

bool ConfigStringValue::isInConfigFile() const { return configHasKey(key_); }

void ConfigStringValue::setAllowedValues(std::vector<std::string> allowed) {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    allowedList_ = std::move(allowed);
}

} // namespace qor
