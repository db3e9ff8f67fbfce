// A text setting whose value never appears in a log line.
#pragma once

#include "ConfigStringValue.h"

namespace qor {

class ConfigPasswordValue : public ConfigStringValue {
public:
    ConfigPasswordValue(std::string key, std::string defaultValue, int level, std::uint64_t componentMask);

    std::string load() override;
    bool setFromString(const std::string& text) override;
};

} // namespace qor
