// A boolean setting; "default" in the file stands for the built-in default.
#pragma once

#include "ConfigValue.h"

namespace qor {

class ConfigBoolValue : public ConfigValue<bool> {
public:
    ConfigBoolValue(std::string key, bool defaultValue, int level, std::uint64_t componentMask);

    std::string valueString() override { return effectiveString(); }
    std::string defaultString() const override;
    int valueType() const override { return 3; }
    std::string effectiveString() override;
    // Accepts a number (non-zero is true) or true/yes/on/false/no/off in any
    // letter case; refuses anything else silently.
    bool setFromString(const std::string& text) override;

    bool load() override;
    bool accept(const bool& candidate) override;
    // Always succeeds.
    bool trySet(const bool& v) override;
};

} // namespace qor
