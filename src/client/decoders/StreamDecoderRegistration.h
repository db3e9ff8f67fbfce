// One row of the decoder registry: a decoder kind, the stream it accepts,
// the colour format it produces for it and how it ranks.
#pragma once

#include "VideoEncodingSpec.h"

#include <functional>
#include <string>
#include <vector>

struct StreamDecoderRegistration {
    std::string name;
    qor::VideoEncodingSpec spec;
    int outputColorFormat = 0;
    // The decoder produces this output itself (first selection pass).
    bool native = false;
    // The row may be chosen when its output needs a later conversion.
    bool converts = false;
    int priority = 0;
};

// Rows in registration order; filled at start-up, read-only afterwards.
extern std::vector<StreamDecoderRegistration> decoderRegistry;
// The distinct specifications of the registry in the order of their first
// row; the client-features message announces them.
extern std::vector<qor::VideoEncodingSpec> supportedEncodings;

// How the registration reads the two settings of each decoder kind N,
// "Client.Decoder." N ".enabled" (bool) and "Client.Decoder." N ".priority"
// (int, no limits), with the defaults passed in. The start-up code supplies
// functions that create, register and load these settings; without them the
// defaults apply.
struct DecoderSettingsReader {
    std::function<bool(const std::string& key, bool defaultValue)> readBool;
    std::function<int(const std::string& key, int defaultValue)> readInt;
};

struct DecoderRegistrationConfig {
    // Folder of the FFmpeg libraries (Client.LibAvDirectory); empty: none.
    std::string libAvDirectory;
    DecoderSettingsReader settings;
};
