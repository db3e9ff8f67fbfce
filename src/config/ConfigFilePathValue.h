// A file setting: a relative value is resolved against the program
// directory, and written back relative to it.
#pragma once

#include "ConfigValue.h"

namespace qor {

class ConfigFilePathValue : public ConfigValue<std::string> {
public:
    ConfigFilePathValue(std::string key, std::string defaultValue, int level, std::uint64_t componentMask);

    // The value without the program directory in front.
    std::string valueString() override;
    std::string defaultString() const override { return rawDefault_; }
    std::string effectiveString() override;
    // Resolves and stores the path; never refuses.
    bool setFromString(const std::string& text) override;
    void publish() override;

    std::string load() override;
    bool accept(const std::string& candidate) override;
    bool trySet(const std::string& v) override { return setFromString(v); }

    // The directory relative values are resolved against (the program directory).
    virtual std::string baseDirectory() const;
    // The file-name part of the value; empty when no file is configured.
    std::string fileName();

private:
    std::string resolved(const std::string& path) const;

    std::string rawDefault_;
};

} // namespace qor
