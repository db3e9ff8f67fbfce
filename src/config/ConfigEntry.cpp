#include "ConfigEntry.h"

#include "Logging.h"
#include "SettingsRegistry.h"

#include <Poco/Exception.h>
#include <Poco/Util/AbstractConfiguration.h>

namespace qor {

ConfigEntry::ConfigEntry(std::string key, int level, std::uint64_t componentMask)
    : componentMask_(componentMask), key_(std::move(key)), level_(level) {
    std::string::size_type start = 0;
    for (;;) {
        std::string::size_type dot = key_.find('.', start);
        components_.push_back(key_.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    componentCount_ = static_cast<int>(components_.size());
    for (int i = 0; i + 1 < componentCount_; ++i) {
        if (i > 0) prefix_ += '.';
        prefix_ += components_[i];
    }
}

ConfigEntry::ConfigEntry(const ConfigEntry& other)
    : components_(other.components_),
      componentCount_(other.componentCount_),
      componentMask_(other.componentMask_),
      key_(other.key_),
      prefix_(other.prefix_),
      loaded_(other.isLoaded()),
      isDefault_(other.isDefault_),
      registered_(other.registered_),
      writeClass_(other.writeClass_),
      level_(other.level_),
      changeCallback_(other.changeCallback_),
      showValue_(other.showValue_),
      valueRejected_(other.valueRejected_) {}

void ConfigEntry::publish() {
    if (Poco::Util::AbstractConfiguration* config = applicationConfiguration())
        config->setString(key_, effectiveString());
}

bool ConfigEntry::ensureRegistered(int writeClass, ConfigChangeCallback changeCallback) {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    if (registered_) return !valueRejected_;
    registered_ = true;
    if (!isLoaded()) loadForRegistration();
    registerConfigEntry(this);
    writeClass_ = writeClass;
    changeCallback_ = changeCallback;
    return !valueRejected_;
}

std::string ConfigEntry::shown(const std::string& text) const { return showValue_ ? text : std::string("********"); }

void ConfigEntry::logChange(const std::string& text, bool trace) const {
    std::string line = std::string(kindWord()) + " value '" + key_ + "'";
    line += showValue_ ? " => '" + text + "'" : std::string(" => set");
    if (trace)
        componentTrace(LogComponentMask::CONF, line);
    else
        componentDebug(LogComponentMask::CONF, line);
}

std::string ConfigEntry::propertyName(const Poco::Util::AbstractConfiguration& config) const {
    std::string selected = key_ + osKeySuffix();
    if (config.hasProperty(selected)) return selected;
    return key_ + "[@OS=]";
}

std::string ConfigEntry::readString(const Poco::Util::AbstractConfiguration& config, const std::string& property,
                                    const std::string& fallback) {
    try {
        return readConfigString(config, property, fallback);
    } catch (const Poco::Exception&) {
        settingsWarning("Illegal value '" + shown(config.getRawString(property, "")) + "' for config setting " + key_ +
                   ".  Using default value '" + shown(fallback) + "'");
        valueRejected_ = true;
        return fallback;
    }
}

} // namespace qor
