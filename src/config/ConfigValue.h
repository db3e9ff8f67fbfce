// A setting with a typed default and current value (text, bool or int).
#pragma once

#include "ConfigEntry.h"
#include "SettingsRegistry.h"

#include <mutex>
#include <string>

namespace qor {

template <typename T>
class ConfigValue : public ConfigEntry {
public:
    ConfigValue(std::string key, T defaultValue, int level, std::uint64_t componentMask)
        : ConfigEntry(std::move(key), level, componentMask), defaultValue_(defaultValue), value_(std::move(defaultValue)) {}

    // Reads the value from the application configuration and stores it.
    virtual T load() = 0;
    // Validates a candidate, recomputes isDefault and logs the change; does not store.
    virtual bool accept(const T& candidate) = 0;

    // The value, loaded from the configuration on the first call.
    virtual T get() {
        std::lock_guard<std::recursive_mutex> lock(configMutex());
        if (!isLoaded()) {
            T loaded = load();
            if (applicationConfiguration() != nullptr) {
                value_ = std::move(loaded);
                setLoaded();
            }
        }
        return value_;
    }
    // Stores the value and makes it the default as well.
    virtual bool set(const T& v) {
        std::lock_guard<std::recursive_mutex> lock(configMutex());
        if (!trySet(v)) return false;
        value_ = v;
        defaultValue_ = v;
        return true;
    }
    virtual bool trySet(const T& v) = 0;
    virtual T getValue() { return get(); }

    const T& defaultValue() const { return defaultValue_; }

protected:
    void loadForRegistration() override { load(); }

    T defaultValue_;
    T value_;
    bool updating_ = false;
};

} // namespace qor
