#include "ConfigShellStringValue.h"

#include "RunConfig.h"
#include "SettingsRegistry.h"

#include <Poco/Util/AbstractConfiguration.h>

namespace qor {

ConfigShellStringValue::ConfigShellStringValue(std::string key, std::string defaultValue, int level,
                                               std::uint64_t componentMask)
    : ConfigValue(std::move(key), defaultValue, level, componentMask), rawDefault_(std::move(defaultValue)) {}

std::string ConfigShellStringValue::valueString() {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    return value_;
}

std::string ConfigShellStringValue::effectiveString() {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    if (expandedValue_.empty()) expandedValue_ = normalizePath(expandShellVariables(value_));
    return expandedValue_;
}

std::string ConfigShellStringValue::load() {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    Poco::Util::AbstractConfiguration* config = applicationConfiguration();
    if (config == nullptr) return value_;
    std::string text = readString(*config, propertyName(*config), rawDefault_);
    setLoaded();
    update(text);
    return value_;
}

const std::string& ConfigShellStringValue::expandedDefault() {
    if (expandedDefault_.empty()) expandedDefault_ = normalizePath(expandShellVariables(rawDefault_));
    return expandedDefault_;
}

bool ConfigShellStringValue::accept(const std::string& candidate) {
    const std::string expanded = candidate == value_ ? value_ : normalizePath(expandShellVariables(candidate));
    if (expanded == expandedDefault() || isQuiet()) {
        isDefault_ = true;
    } else {
        logChange(candidate);
        isDefault_ = false;
    }
    return true;
}

bool ConfigShellStringValue::update(const std::string& text) {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    if (text == value_) return true;
    // The one refusal of a shell string: a text the configuration file
    // could not hold when it is written back.
    if (!acceptsWritableText(text)) {
        settingsWarning("Illegal value '" + shown(text) + "' for config setting " + key_ + ".  Keeping value '" +
                        shown(value_) + "'");
        valueRejected_ = true;
        return false;
    }
    if (accept(text)) {
        value_ = text;
        expandedValue_ = normalizePath(expandShellVariables(text));
    }
    return true;
}

} // namespace qor
