// Start-up's view of the stream decoders: the registration call and the
// encodings of the registry. The decoding library provides
// the registry itself; until it is linked into the client, registration
// finds no decoder and the client runs without native decoding.
#pragma once

#include <vector>

// {encoding profile, colour format, bit depth}; written "0,0,8".
struct VideoEncodingSpec {
    int profile = 0;
    int colorFormat = 0;
    int bitDepth = 8;
    bool operator==(const VideoEncodingSpec& other) const {
        return profile == other.profile && colorFormat == other.colorFormat && bitDepth == other.bitDepth;
    }
};

// The encodings the client can decode, in first-seen order without
// duplicates; filled once by the start-up.
extern std::vector<VideoEncodingSpec> supportedEncodingSpecs;

// Registers the stream decoders (FFmpeg first, then OpenH264); true when at
// least one was registered. Hook for StreamDecoder::registerDecoders.
bool registerStreamDecoders();

// The encoding triple of each entry of the decoder registry in registration
// order. Hook for the registry walk.
std::vector<VideoEncodingSpec> registeredDecoderSpecs();

// Appends each triple of the registry that is not listed yet.
void collectSupportedEncodingSpecs(const std::vector<VideoEncodingSpec>& registry);
