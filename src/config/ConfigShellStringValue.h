// A text setting whose value may refer to environment variables ("${HOME}");
// the program reads the expanded and normalised text.
#pragma once

#include "ConfigValue.h"

namespace qor {

class ConfigShellStringValue : public ConfigValue<std::string> {
public:
    ConfigShellStringValue(std::string key, std::string defaultValue, int level, std::uint64_t componentMask);

    // The value as stored (unexpanded).
    std::string valueString() override;
    std::string defaultString() const override { return rawDefault_; }
    // The expanded value, computed on demand.
    std::string effectiveString() override;
    // Never refuses.
    bool setFromString(const std::string& text) override { return update(text); }

    std::string load() override;
    bool accept(const std::string& candidate) override;
    bool trySet(const std::string& v) override { return update(v); }

    // Stores the text and refreshes the expanded value; always true.
    virtual bool update(const std::string& text);

protected:
    // The expanded default, computed on first use.
    const std::string& expandedDefault();

    std::string expandedDefault_;
    std::string expandedValue_;
    std::string rawDefault_;
};

} // namespace qor
