// A text setting, optionally limited to a list of allowed values.
#pragma once

#include "ConfigValue.h"

#include <string>
#include <vector>

namespace qor {

class ConfigStringValue : public ConfigValue<std::string> {
public:
    ConfigStringValue(std::string key, std::string defaultValue, std::vector<std::string> allowed, int level,
                      std::uint64_t componentMask);
    // A copy keeps every field, the password marking included.
    ConfigStringValue(const ConfigStringValue& other) = default;

    std::string valueString() override { return effectiveString(); }
    std::string defaultString() const override { return defaultValue_; }
    bool hasAllowedValues() const override { return !allowedList_.empty(); }
    const std::vector<std::string>* allowedValues() const override { return &allowedList_; }
    std::string effectiveString() override;
    bool setFromString(const std::string& text) override;

    std::string load() override;
    bool accept(const std::string& candidate) override;
    bool trySet(const std::string& v) override { return setFromString(v); }

    // Stores a valid value without logging the change.
    virtual bool update(const std::string& text);

    // Byte comparison with the current value; does not load.
    bool equals(const std::string& text) const { return value_ == text; }
    bool differs(const std::string& text) const { return value_ != text; }
    // Whether the application configuration has the plain key.
    bool isInConfigFile() const;
    void setAllowedValues(std::vector<std::string> allowed);

protected:
    std::vector<std::string> allowedList_;
};

} // namespace qor
