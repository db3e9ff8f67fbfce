#include "ColorFormat.h"
#include "LogCapture.h"
#include "VideoEncodingSpec.h"

#include <gtest/gtest.h>

using qor::VideoEncodingSpec;

TEST(ColorFormatName, Table) {
    struct Case {
        int code;
        bool withCode;
        const char* name;
    } cases[] = {
        {0, false, "YUV420p"}, {30, true, "NV12 (30)"},  {181, false, "RGBA64"},
        {99999, false, "UNKNOWN COLOR FORMAT"}, {99999, true, "UNKNOWN COLOR FORMAT"},
        {210, false, "UNKNOWN COLOR FORMAT"},   {-1, true, "UNKNOWN COLOR FORMAT"},
    };
    for (const Case& c : cases) EXPECT_EQ(colorFormatName(c.code, c.withCode), c.name) << c.code;
}

TEST(EncodingProfileName, MatchesEncodingAndColourNotBitDepth) {
    EXPECT_EQ(encodingProfileName(4, 0), "H264_HIGH10");
    EXPECT_EQ(encodingProfileName(9, 6), "H264_LOSSLESS_YUV444");
    EXPECT_EQ(encodingProfileName(9, 125), "H264_LOSSLESS_RGB");
    EXPECT_EQ(encodingProfileName(0, 6), "UNKNOWN ENCODING PROFILE");
    EXPECT_EQ(encodingProfileName(99999, 99999), "UNKNOWN ENCODING PROFILE");
}

TEST(FormatVideoEncodingSpec, CommaAndReadableForms) {
    EXPECT_EQ(formatSpecCodes({0, 0, 8}), "0,0,8");
    EXPECT_EQ(formatSpecCodes({9, 125, 8}), "9,125,8");
    EXPECT_EQ(formatSpecCodes({-3, 0, 8}), "-3,0,8");
    EXPECT_EQ(formatVideoEncodingSpec({3, 0, 8}), "H264_HIGH, YUV420p, 8 bits");
    EXPECT_EQ(formatVideoEncodingSpec({3, 0, 8}, true), "H264_HIGH (3), YUV420p (0), 8 bits");
}

TEST(ParseVideoEncodingSpec, Table) {
    const VideoEncodingSpec start{7, 7, 7};
    struct Case {
        const char* text;
        bool result;
        VideoEncodingSpec spec;
        const char* message;  // critical line, or null for none
    } cases[] = {
        {"0", true, {0, 0, 8}, nullptr},
        {"4", true, {4, 0, 8}, nullptr},
        {"9", true, {9, 125, 8}, nullptr},
        {"0,6", true, {0, 6, 8}, nullptr},
        {"3,0,10", true, {3, 0, 10}, nullptr},
        {" 3,0,8", true, {3, 0, 8}, nullptr},
        {"3,0,0", true, {3, 0, 8}, "Invalid number of bits specified, defaulting to 8"},
        {"3,0,128", true, {3, 0, 8}, "Invalid number of bits specified, defaulting to 8"},
        {"0,0,8,1", true, {0, 0, 8}, "Malformated video encoding specification: 0,0,8,1"},
        {"0,0,8,", true, {0, 0, 8}, "Malformated video encoding specification: 0,0,8,"},
        {"5,0,8", false, {7, 7, 7}, "Invalid encoding format specified"},
        {"0,210,8", false, {0, 210, 7}, "Invalid color format specified"},
        // Text that is not a number leaves the specification as it was.
        {"", false, {7, 7, 7}, "Malformated video encoding specification: "},
        {"3,x", false, {7, 7, 7}, "Malformated video encoding specification: 3,x"},
        {"3 ,0,8", false, {7, 7, 7}, "Malformated video encoding specification: 3 ,0,8"},
        {"3,0,99999999999", false, {7, 7, 7}, "Malformated video encoding specification: 3,0,99999999999"},
    };
    for (const Case& c : cases) {
        LogCapture log;
        VideoEncodingSpec spec = start;
        bool result = false;
        EXPECT_NO_THROW(result = parseVideoEncodingSpec(spec, c.text)) << c.text;
        EXPECT_EQ(result, c.result) << c.text;
        EXPECT_EQ(spec, c.spec) << c.text << " -> " << formatSpecCodes(spec);
        const auto lines = log.lines();
        if (c.message == nullptr) {
            EXPECT_TRUE(lines.empty()) << c.text;
        } else {
            ASSERT_EQ(lines.size(), 1u) << c.text;
            EXPECT_EQ(lines[0].text, c.message);
            EXPECT_EQ(lines[0].priority, 2);
        }
    }
}
