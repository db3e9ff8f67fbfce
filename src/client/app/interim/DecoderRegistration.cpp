#include "DecoderRegistration.h"

#include <algorithm>

std::vector<VideoEncodingSpec> supportedEncodingSpecs;

bool registerStreamDecoders() {
    // The decoding library is not part of the client yet: no decoder.
    return false;
}

std::vector<VideoEncodingSpec> registeredDecoderSpecs() { return {}; }

void collectSupportedEncodingSpecs(const std::vector<VideoEncodingSpec>& registry) {
    for (const VideoEncodingSpec& spec : registry)
        if (std::find(supportedEncodingSpecs.begin(), supportedEncodingSpecs.end(), spec) == supportedEncodingSpecs.end())
            supportedEncodingSpecs.push_back(spec);
}
