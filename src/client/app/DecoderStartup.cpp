#include "DecoderStartup.h"

#include "ClientSettings.h"
#include "ConfigBoolValue.h"
#include "ConfigIntValue.h"
#include "Logging.h"
#include "StreamDecoder.h"
#include "StreamDecoderRegistration.h"

#include <algorithm>
#include <memory>

std::vector<qor::VideoEncodingSpec> supportedEncodingSpecs;

namespace {

// The per-decoder settings are made when the decoder kind registers; they
// live until the process ends, like every other setting.
std::vector<std::unique_ptr<qor::ConfigEntry>>& decoderSettings() {
    static std::vector<std::unique_ptr<qor::ConfigEntry>> settings;
    return settings;
}

template <class Setting>
Setting* keepDecoderSetting(Setting* setting) {
    decoderSettings().emplace_back(setting);
    setting->ensureRegistered(2);
    return setting;
}

bool readDecoderBool(const std::string& key, bool defaultValue) {
    return keepDecoderSetting(new qor::ConfigBoolValue(key, defaultValue, 1, LogComponentMask::DECODER))->get();
}

int readDecoderInt(const std::string& key, int defaultValue) {
    return keepDecoderSetting(new qor::ConfigIntValue(key, defaultValue, qor::ConfigEntry::NoLimit,
                                                      qor::ConfigEntry::NoLimit, 1, LogComponentMask::DECODER))
        ->get();
}

} // namespace

bool registerStreamDecoders() {
    DecoderRegistrationConfig config;
    config.libAvDirectory = clientLibAvDirectory.effectiveString();
    config.settings.readBool = readDecoderBool;
    config.settings.readInt = readDecoderInt;
    const bool registered = qor::StreamDecoder::registerDecoders(config);
    qor::StreamDecoder::collectSupportedEncodings();
    return registered;
}

std::vector<qor::VideoEncodingSpec> registeredDecoderSpecs() {
    std::vector<qor::VideoEncodingSpec> specs;
    specs.reserve(decoderRegistry.size());
    for (const StreamDecoderRegistration& row : decoderRegistry) specs.push_back(row.spec);
    return specs;
}

void collectSupportedEncodingSpecs(const std::vector<qor::VideoEncodingSpec>& registry) {
    for (const qor::VideoEncodingSpec& spec : registry)
        if (std::find(supportedEncodingSpecs.begin(), supportedEncodingSpecs.end(), spec) == supportedEncodingSpecs.end())
            supportedEncodingSpecs.push_back(spec);
}
