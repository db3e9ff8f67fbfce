#include "VideoEncodingSpec.h"

#include "ColorFormat.h"
#include "Logging.h"

#include <Poco/Exception.h>
#include <Poco/NumberParser.h>

#include <vector>

namespace {
constexpr int endOfTable = 99999;

const EncodingProfileInfo* findProfileByEncoding(int encoding) {
    for (const EncodingProfileInfo* row = encodingProfileTable; row->spec.encoding != endOfTable; ++row) {
        if (row->spec.encoding == encoding) return row;
    }
    return nullptr;
}

int parseField(const std::string& field) {
    return Poco::NumberParser::parse(field, ',');
}

bool parseFields(qor::VideoEncodingSpec& spec, const std::string& text) {
    std::vector<std::string> fields;
    std::string::size_type start = 0;
    for (;;) {
        const std::string::size_type comma = text.find(',', start);
        fields.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }

    const int encoding = parseField(fields[0]);
    const EncodingProfileInfo* profile = findProfileByEncoding(encoding);
    if (profile == nullptr) {
        logCritical("Invalid encoding format specified");
        return false;
    }
    spec.encoding = encoding;

    if (fields.size() == 1) {
        spec.colorFormat = profile->spec.colorFormat;
        const ColorFormatInfo* color = findColorFormat(spec.colorFormat);
        if (color == nullptr) {
            logCritical("Invalid color format specified");
            return false;
        }
        spec.bitDepth = color->defaultBitDepth;
        return true;
    }

    spec.colorFormat = parseField(fields[1]);
    const ColorFormatInfo* color = findColorFormat(spec.colorFormat);
    if (color == nullptr) {
        logCritical("Invalid color format specified");
        return false;
    }
    spec.bitDepth = color->defaultBitDepth;
    if (fields.size() == 2) return true;

    const int bits = parseField(fields[2]);
    if (bits < 1 || bits > 127) {
        logCritical("Invalid number of bits specified, defaulting to " + std::to_string(color->defaultBitDepth));
        spec.bitDepth = color->defaultBitDepth;
        return true;
    }
    spec.bitDepth = bits;
    if (fields.size() > 3) logCritical("Malformated video encoding specification: " + text);
    return true;
}
} // namespace

const EncodingProfileInfo encodingProfileTable[] = {
    {{0, 0, 8}, "H264_BASELINE"},
    {{1, 0, 8}, "H264_EXTENDED"},
    {{2, 0, 8}, "H264_MAIN"},
    {{3, 0, 8}, "H264_HIGH"},
    {{4, 0, 10}, "H264_HIGH10"},
    {{6, 6, 8}, "H264_HIGH_YUV444"},
    {{9, 125, 8}, "H264_LOSSLESS_RGB"},
    {{9, 6, 8}, "H264_LOSSLESS_YUV444"},
    {{20, 0, 8}, "HEVC_MAIN"},
    {{20, 6, 8}, "HEVC_MAIN_YUV444"},
    {{24, 6, 8}, "HEVC_LOSSLESS_YUV444"},
    {{22, 6, 8}, "HEVC_MAIN10_YUV444"},
    {{endOfTable, endOfTable, 0}, "NONE"},
};

std::string encodingProfileName(int encoding, int colorFormat) {
    for (const EncodingProfileInfo* row = encodingProfileTable; row->spec.encoding != endOfTable; ++row) {
        if (row->spec.encoding == encoding && row->spec.colorFormat == colorFormat) return row->name;
    }
    return "UNKNOWN ENCODING PROFILE";
}

std::string formatSpecCodes(const qor::VideoEncodingSpec& spec) {
    return std::to_string(spec.encoding) + "," + std::to_string(spec.colorFormat) + "," +
           std::to_string(spec.bitDepth);
}

std::string formatVideoEncodingSpec(const qor::VideoEncodingSpec& spec, bool withCodes) {
    std::string text = encodingProfileName(spec.encoding, spec.colorFormat);
    if (withCodes) text += " (" + std::to_string(spec.encoding) + ")";
    return text + ", " + colorFormatName(spec.colorFormat, withCodes) + ", " + std::to_string(spec.bitDepth) +
           " bits";
}

bool parseVideoEncodingSpec(qor::VideoEncodingSpec& spec, const std::string& text) {
    const qor::VideoEncodingSpec before = spec;
    try {
        return parseFields(spec, text);
    } catch (const Poco::SyntaxException&) {
        // A field that is not a number: the server's text is unusable as a
        // whole, so nothing of it is kept.
        spec = before;
        logCritical("Malformated video encoding specification: " + text);
        return false;
    }
}
