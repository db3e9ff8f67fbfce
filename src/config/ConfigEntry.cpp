#include "ConfigEntry.h"

#include "Logging.h"
#include "SettingsRegistry.h"

#include <Poco/Exception.h>
#include <Poco/Util/AbstractConfiguration.h>

namespace qor {

namespace {

// The code point of the UTF-8 sequence at text[at] and its length in bytes;
// length 0 for bytes that do not begin a well-formed sequence (overlong
// forms, surrogates and values past U+10FFFF included).
std::pair<char32_t, std::size_t> decodeUtf8(const std::string& text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return {lead, 1};
    std::size_t length = 0;
    char32_t code = 0;
    char32_t minimum = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2, code = lead & 0x1f, minimum = 0x80;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3, code = lead & 0x0f, minimum = 0x800;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4, code = lead & 0x07, minimum = 0x10000;
    } else {
        return {0, 0};
    }
    if (at + length > text.size()) return {0, 0};
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xc0) != 0x80) return {0, 0};
        code = (code << 6) | (byte(at + i) & 0x3f);
    }
    if (code < minimum || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return {0, 0};
    return {code, length};
}

bool isControl(char32_t code) { return (code < 0x20 && code != '\t' && code != '\n' && code != '\r') || code == 0x7f; }

} // namespace

const char* unwritableTextReason(const std::string& text) {
    for (std::size_t at = 0; at < text.size();) {
        const auto [code, length] = decodeUtf8(text, at);
        if (length == 0) return "bytes that are not UTF-8";
        // DEL may stand in a file; the other control characters may not.
        if (isControl(code) && code != 0x7f) return "a control character";
        if (code == 0xfffe || code == 0xffff) return "a character that XML cannot hold";
        at += length;
    }
    return nullptr;
}

std::string printableText(const std::string& text) {
    std::string printable;
    for (std::size_t at = 0; at < text.size();) {
        const auto [code, length] = decodeUtf8(text, at);
        if (length == 0 || isControl(code)) {
            static const char digits[] = "0123456789abcdef";
            const auto value = static_cast<unsigned char>(text[at]);
            printable += "\\x";
            printable += digits[value >> 4];
            printable += digits[value & 0xf];
            ++at;
        } else {
            printable.append(text, at, length);
            at += length;
        }
    }
    return printable;
}

ConfigEntry::ConfigEntry(std::string key, int level, std::uint64_t componentMask)
    : componentMask_(componentMask), key_(std::move(key)), level_(level) {
    std::string::size_type start = 0;
    for (;;) {
        std::string::size_type dot = key_.find('.', start);
        components_.push_back(key_.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    componentCount_ = static_cast<int>(components_.size());
    for (int i = 0; i + 1 < componentCount_; ++i) {
        if (i > 0) prefix_ += '.';
        prefix_ += components_[i];
    }
}

ConfigEntry::ConfigEntry(const ConfigEntry& other)
    : components_(other.components_),
      componentCount_(other.componentCount_),
      componentMask_(other.componentMask_),
      key_(other.key_),
      prefix_(other.prefix_),
      loaded_(other.isLoaded()),
      isDefault_(other.isDefault_),
      registered_(other.registered_),
      writeClass_(other.writeClass_),
      level_(other.level_),
      changeCallback_(other.changeCallback_),
      showValue_(other.showValue_),
      valueRejected_(other.valueRejected_) {}

void ConfigEntry::publish() {
    if (Poco::Util::AbstractConfiguration* config = applicationConfiguration())
        config->setString(key_, effectiveString());
}

bool ConfigEntry::ensureRegistered(int writeClass, ConfigChangeCallback changeCallback) {
    std::lock_guard<std::recursive_mutex> lock(configMutex());
    if (registered_) return !valueRejected_;
    registered_ = true;
    if (!isLoaded()) loadForRegistration();
    registerConfigEntry(this);
    writeClass_ = writeClass;
    changeCallback_ = changeCallback;
    return !valueRejected_;
}

std::string ConfigEntry::shown(const std::string& text) const {
    return showValue_ ? printableText(text) : std::string("********");
}

bool ConfigEntry::acceptsWritableText(const std::string& text) const {
    const char* reason = unwritableTextReason(text);
    if (reason == nullptr) return true;
    settingsWarning(lastComponent() + " value '" + shown(text) + "' holds " + reason +
                    ", which a configuration file cannot hold.");
    return false;
}

void ConfigEntry::logChange(const std::string& text, bool trace) const {
    std::string line = std::string(kindWord()) + " value '" + key_ + "'";
    line += showValue_ ? " => '" + text + "'" : std::string(" => set");
    if (trace)
        componentTrace(LogComponentMask::CONF, line);
    else
        componentDebug(LogComponentMask::CONF, line);
}

std::string ConfigEntry::propertyName(const Poco::Util::AbstractConfiguration& config) const {
    std::string selected = key_ + osKeySuffix();
    if (config.hasProperty(selected)) return selected;
    return key_ + "[@OS=]";
}

std::string ConfigEntry::readString(const Poco::Util::AbstractConfiguration& config, const std::string& property,
                                    const std::string& fallback) {
    try {
        return readConfigString(config, property, fallback);
    } catch (const Poco::Exception&) {
        settingsWarning("Illegal value '" + shown(config.getRawString(property, "")) + "' for config setting " + key_ +
                   ".  Using default value '" + shown(fallback) + "'");
        valueRejected_ = true;
        return fallback;
    }
}

} // namespace qor
