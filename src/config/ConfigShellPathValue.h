// A directory setting: the value is stored expanded and always ends with the
// path separator.
#pragma once

#include "ConfigShellStringValue.h"

namespace qor {

class ConfigShellPathValue : public ConfigShellStringValue {
public:
    ConfigShellPathValue(std::string key, std::string defaultValue, int level, std::uint64_t componentMask);

    // The value relative to the working directory where it lies below it.
    std::string displayString() override;
    bool update(const std::string& text) override;

    // Sets the value and hands it to the registry under the key, so that it
    // is applied again when the setting registers; false when refused.
    bool setAndRemember(const std::string& value);
};

} // namespace qor
