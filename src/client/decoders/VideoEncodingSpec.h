// The description of a video stream: encoding profile, colour format and
// bit depth, with its comma text ("3,0,8") and readable text for logs.
#pragma once

#include <string>

namespace qor {

struct VideoEncodingSpec {
    int encoding = 0;
    int colorFormat = 0;
    int bitDepth = 8;

    bool operator==(const VideoEncodingSpec& other) const {
        return encoding == other.encoding && colorFormat == other.colorFormat && bitDepth == other.bitDepth;
    }
    bool operator!=(const VideoEncodingSpec& other) const { return !(*this == other); }
    // H.264 family: encodings 0 to 6 and 9.
    bool isH264Family() const { return encoding <= 6 || encoding == 9; }
};

} // namespace qor

struct EncodingProfileInfo {
    qor::VideoEncodingSpec spec;
    const char* name;
};

// Rows in table order; the row with encoding 99999 ends it and never matches.
extern const EncodingProfileInfo encodingProfileTable[];

// Name of the first row with that encoding and colour format (bit depth not
// compared), else "UNKNOWN ENCODING PROFILE".
std::string encodingProfileName(int encoding, int colorFormat);

// "9,125,8"
std::string formatSpecCodes(const qor::VideoEncodingSpec& spec);

// "H264_HIGH, YUV420p, 8 bits" or, with codes, "H264_HIGH (3), YUV420p (0), 8 bits".
std::string formatVideoEncodingSpec(const qor::VideoEncodingSpec& spec, bool withCodes = false);

// Reads the comma text into the specification; false with a critical log
// line for an unknown encoding or colour format. A field that is not a
// number is logged and leaves the specification as it was (false).
bool parseVideoEncodingSpec(qor::VideoEncodingSpec& spec, const std::string& text);
