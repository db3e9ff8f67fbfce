// Base of every setting: a dotted key with its parts, the flags that track
// loading, registration and whether the value is the default, the write
// class used by the configuration writer, a level and a log-component mask.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace Poco::Util {
class AbstractConfiguration;
}

namespace qor {

// Why the text cannot stand in an XML 1.0 configuration file ("a control
// character", "bytes that are not UTF-8", "a character that XML cannot
// hold"), or null when it can.
const char* unwritableTextReason(const std::string& text);
// The text for a log line: control characters and bytes that are not UTF-8
// as \xNN, everything else as it is.
std::string printableText(const std::string& text);

// Change callback stored at registration: (context, new text, two out flags).
using ConfigChangeCallback = bool (*)(void* context, const std::string& text, bool* changed, bool* restart);

class ConfigEntry {
public:
    // A setting with this level bit is quiet: its changes are not logged.
    static constexpr int QuietLevel = 8;
    // Value of the range limits that means "no limit on this side".
    static constexpr int NoLimit = -42;

    ConfigEntry(std::string key, int level, std::uint64_t componentMask);
    ConfigEntry(const ConfigEntry& other);
    ConfigEntry& operator=(const ConfigEntry&) = delete;
    virtual ~ConfigEntry() = default;

    // The value as the writer puts it into the file.
    virtual std::string valueString() = 0;
    virtual std::string defaultString() const = 0;
    // 0 text, 1 integer, 3 boolean.
    virtual int valueType() const { return 0; }
    virtual bool hasRange() const { return false; }
    virtual int minValue() const { return NoLimit; }
    virtual int maxValue() const { return NoLimit; }
    virtual bool hasAllowedValues() const { return false; }
    virtual const std::vector<std::string>* allowedValues() const { return nullptr; }
    virtual std::string displayString() { return valueString(); }
    // The value as the program uses it (shell kinds: expanded).
    virtual std::string effectiveString() = 0;
    virtual std::string asString() { return effectiveString(); }
    // Parses, validates and stores a value given as text; false when refused.
    virtual bool setFromString(const std::string& text) = 0;
    // Writes the current text into the application configuration under the key.
    virtual void publish();

    // Marks the setting registered, loads it once, enters it into the
    // registry (which applies a value handed over for its key) and stores
    // the write class and callback. Only the first call has an effect.
    // False when a value of this setting was refused.
    bool ensureRegistered(int writeClass = 2, ConfigChangeCallback changeCallback = nullptr);

    const std::string& key() const { return key_; }
    const std::string& prefix() const { return prefix_; }
    const std::vector<std::string>& components() const { return components_; }
    int componentCount() const { return componentCount_; }
    const std::string& lastComponent() const { return components_.back(); }
    std::uint64_t componentMask() const { return componentMask_; }
    int level() const { return level_; }
    bool isQuiet() const { return (level_ & QuietLevel) != 0; }
    bool isLoaded() const { return loaded_.load(std::memory_order_acquire); }
    bool isDefault() const { return isDefault_; }
    bool isRegistered() const { return registered_; }
    bool isValueRejected() const { return valueRejected_; }
    bool showsValue() const { return showValue_; }
    int writeClass() const { return writeClass_; }
    ConfigChangeCallback changeCallback() const { return changeCallback_; }
    // Counts the setting as loaded, so that registration does not read it.
    void markLoaded() { setLoaded(); }

protected:
    // Loads the value from the configuration when that has not happened yet.
    virtual void loadForRegistration() = 0;

    // "Configuration" for a registered setting, "Dynamic" otherwise.
    const char* kindWord() const { return registered_ ? "Configuration" : "Dynamic"; }
    // The value as log lines may show it: masked for passwords, otherwise
    // printable (printableText).
    std::string shown(const std::string& text) const;
    // Refuses a text that a configuration file cannot hold, with a warning
    // that says why; true when the text can be written.
    bool acceptsWritableText(const std::string& text) const;
    // Logs the change of the value to the text (or "=> set" for passwords).
    void logChange(const std::string& text, bool trace = false) const;

    // Property name to read: the key with the OS selector when the
    // configuration has that element, else the key with the empty selector.
    std::string propertyName(const Poco::Util::AbstractConfiguration& config) const;

    // Reads the property as text (fallback when absent), its references to
    // other properties resolved within limits (readConfigString). A value
    // whose references cannot be resolved (a reference to itself, too many
    // of them) is refused with a warning and gives the fallback.
    std::string readString(const Poco::Util::AbstractConfiguration& config, const std::string& property,
                           const std::string& fallback);

    void setLoaded() { loaded_.store(true, std::memory_order_release); }

    std::vector<std::string> components_;
    int componentCount_;
    std::uint64_t componentMask_;
    std::string key_;
    std::string prefix_;
    std::atomic<bool> loaded_{false};
    bool isDefault_ = true;
    bool registered_ = false;
    int writeClass_ = 2;
    int level_;
    ConfigChangeCallback changeCallback_ = nullptr;
    bool showValue_ = true;
    bool valueRejected_ = false;
};

} // namespace qor
