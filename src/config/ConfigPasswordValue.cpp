#include "ConfigPasswordValue.h"

namespace qor {

ConfigPasswordValue::ConfigPasswordValue(std::string key, std::string defaultValue, int level,
                                         std::uint64_t componentMask)
    : ConfigStringValue(std::move(key), std::move(defaultValue), {}, level, componentMask) {
    showValue_ = false;
}

std::string ConfigPasswordValue::load() {
    showValue_ = false;
    return ConfigStringValue::load();
}

bool ConfigPasswordValue::setFromString(const std::string& text) {
    showValue_ = false;
    return ConfigStringValue::setFromString(text);
}

} // namespace qor
