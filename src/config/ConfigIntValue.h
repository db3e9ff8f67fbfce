// An integer setting with inclusive limits; NoLimit (-42) leaves a side open.
#pragma once

#include "ConfigValue.h"

namespace qor {

class ConfigIntValue : public ConfigValue<int> {
public:
    ConfigIntValue(std::string key, int defaultValue, int minimum, int maximum, int level,
                   std::uint64_t componentMask);

    std::string valueString() override { return effectiveString(); }
    std::string defaultString() const override { return std::to_string(defaultValue_); }
    int valueType() const override { return 1; }
    bool hasRange() const override { return minimum_ != NoLimit || maximum_ != NoLimit; }
    int minValue() const override { return minimum_; }
    int maxValue() const override { return maximum_; }
    std::string effectiveString() override;
    // Decimal with optional sign and "," as thousands separator.
    bool setFromString(const std::string& text) override;

    int load() override;
    bool accept(const int& candidate) override;
    bool trySet(const int& v) override;

private:
    int minimum_;
    int maximum_;
};

} // namespace qor
