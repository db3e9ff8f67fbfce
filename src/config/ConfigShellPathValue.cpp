#include "ConfigShellPathValue.h"

#include "RunConfig.h"
#include "SettingsRegistry.h"

namespace qor {

namespace {
std::string directoryText(const std::string& text) {
    std::string dir = expandShellVariables(text);
    if (dir.empty()) dir = ".";
    if (dir.back() != '/') dir += '/';
    return dir;
}
} // namespace

ConfigShellPathValue::ConfigShellPathValue(std::string key, std::string defaultValue, int level,
                                           std::uint64_t componentMask)
    : ConfigShellStringValue(std::move(key), std::move(defaultValue), level, componentMask) {}

std::string ConfigShellPathValue::displayString() { return makeCwdRelativePath(valueString()); }

bool ConfigShellPathValue::update(const std::string& text) {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    const std::string newDir = directoryText(text);
    if (newDir == directoryText(rawDefault_) || isQuiet()) {
        isDefault_ = true;
    } else {
        logChange(text);
        isDefault_ = false;
    }
    value_ = newDir;
    expandedValue_ = newDir;
    return true;
}

bool ConfigShellPathValue::setAndRemember(const std::string& value) {
    if (!setFromString(value)) return false;
    setConfigValueByKey(key_, value, true);
    return true;
}

} // namespace qor
