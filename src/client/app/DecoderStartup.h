// Start-up's part in video decoding: registering the stream decoders with
// their settings and listing the encodings the client can decode.
#pragma once

#include "VideoEncodingSpec.h"

#include <vector>

// The encodings the client can decode, in first-seen order without
// duplicates; filled once by the start-up.
extern std::vector<qor::VideoEncodingSpec> supportedEncodingSpecs;

// Registers the stream decoders (FFmpeg first, then OpenH264) with the
// settings Client.LibAvDirectory and Client.Decoder.<name>.enabled/.priority;
// true when at least one was registered.
bool registerStreamDecoders();

// The encoding triple of each entry of the decoder registry in registration order.
std::vector<qor::VideoEncodingSpec> registeredDecoderSpecs();

// Appends each triple that is not listed yet.
void collectSupportedEncodingSpecs(const std::vector<qor::VideoEncodingSpec>& registry);
