#include "ConfigFilePathValue.h"

#include "Logging.h"
#include "RunConfig.h"
#include "SettingsRegistry.h"

#include <Poco/Path.h>
#include <Poco/String.h>
#include <Poco/Util/AbstractConfiguration.h>

namespace qor {

ConfigFilePathValue::ConfigFilePathValue(std::string key, std::string defaultValue, int level,
                                         std::uint64_t componentMask)
    : ConfigValue(std::move(key), defaultValue, level, componentMask), rawDefault_(std::move(defaultValue)) {}

std::string ConfigFilePathValue::baseDirectory() const { return runConfigBinPath(); }

std::string ConfigFilePathValue::resolved(const std::string& path) const {
    if (Poco::Path(path).isAbsolute()) return path;
    return baseDirectory() + path;
}

std::string ConfigFilePathValue::valueString() {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    const std::string base = baseDirectory();
    if (!base.empty() && value_.compare(0, base.size(), base) == 0) return value_.substr(base.size());
    return value_;
}

std::string ConfigFilePathValue::effectiveString() {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    return value_;
}

std::string ConfigFilePathValue::load() {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    Poco::Util::AbstractConfiguration* config = applicationConfiguration();
    if (config == nullptr) return value_;
    setFromString(Poco::trim(readString(*config, propertyName(*config), rawDefault_)));
    return value_;
}

bool ConfigFilePathValue::accept(const std::string& candidate) {
    if (candidate != value_ && !isQuiet()) logChange(candidate);
    isDefault_ = candidate == rawDefault_;
    return true;
}

bool ConfigFilePathValue::setFromString(const std::string& text) {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    setLoaded();
    const std::string path = resolved(text);
    isDefault_ = path == resolved(rawDefault_);
    if (resolved(value_) != path && !isQuiet())
        componentDebug(LogComponentMask::CONF, std::string(kindWord()) + " value '" + key_ + " changed value '" +
                                                   value_ + "' => '" + text + "'");
    value_ = path;
    return true;
}

void ConfigFilePathValue::publish() {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    setFromString(value_);
    ConfigEntry::publish();
}

std::string ConfigFilePathValue::fileName() {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    return Poco::Path(value_).getFileName();
}

} // namespace qor
