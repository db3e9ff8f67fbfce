#include "FfmpegLoader.h"
#include "LogCapture.h"
#include "StreamDecoder.h"

#include <gtest/gtest.h>

#include <map>

using qor::StreamDecoder;

namespace {

// Settings as the start-up code would back them, with the keys read kept.
struct FakeSettings {
    std::map<std::string, bool> bools;
    std::map<std::string, int> ints;
    std::map<std::string, std::string> readDefaults;

    DecoderRegistrationConfig config() {
        DecoderRegistrationConfig c;
        c.settings.readBool = [this](const std::string& key, bool def) {
            readDefaults[key] = def ? "true" : "false";
            auto it = bools.find(key);
            return it == bools.end() ? def : it->second;
        };
        c.settings.readInt = [this](const std::string& key, int def) {
            readDefaults[key] = std::to_string(def);
            auto it = ints.find(key);
            return it == ints.end() ? def : it->second;
        };
        return c;
    }
};

std::vector<std::string> registryTexts() {
    std::vector<std::string> texts;
    for (const StreamDecoderRegistration& row : decoderRegistry) texts.push_back(StreamDecoder::describeEntry(row));
    return texts;
}

} // namespace

TEST(RegisterDecoders, FfmpegRowsFirstThenOpenH264) {
    LogCapture log;
    FakeSettings settings;
    ASSERT_TRUE(StreamDecoder::registerDecoders(settings.config()));
    ASSERT_EQ(decoderRegistry.size(), 17u);
    const std::vector<std::string> texts = registryTexts();
    EXPECT_EQ(texts[0], "LibAVH264, (native cf), out format YUV420p, priority 5 (H264_BASELINE, YUV420p, 8 bits)");
    EXPECT_EQ(texts[3], "LibAVH264, (native cf), out format GBRP, priority 5 (H264_LOSSLESS_RGB, RGB24, 8 bits)");
    EXPECT_EQ(texts[10],
              "LibAVH264, (converted cf), out format RGB24, priority 4 (H264_HIGH_YUV444, YUV444p, 8 bits)");
    EXPECT_EQ(texts[11], "OpenH264, (native cf), out format YUV420p, priority 3 (H264_BASELINE, YUV420p, 8 bits)");
    EXPECT_EQ(texts[16], "OpenH264, (converted cf), out format RGB24, priority 3 (H264_HIGH, YUV420p, 8 bits)");
    EXPECT_TRUE(log.contains("StreamDecoder: Registered LibAV successfully"));
    EXPECT_TRUE(log.contains("StreamDecoder: Registered OpenH264 successfully"));
    EXPECT_EQ(settings.readDefaults["Client.Decoder.OpenH264.priority"], "3");
    EXPECT_EQ(settings.readDefaults["Client.Decoder.LibAVH264.priority"], "5");
    EXPECT_EQ(settings.readDefaults["Client.Decoder.LibAVH264.enabled"], "true");

    StreamDecoder::collectSupportedEncodings();
    StreamDecoder::collectSupportedEncodings();
    std::vector<std::string> announced;
    for (const qor::VideoEncodingSpec& spec : supportedEncodings) announced.push_back(formatSpecCodes(spec));
    EXPECT_EQ(announced, (std::vector<std::string>{"0,0,8", "2,0,8", "3,0,8", "9,125,8", "6,6,8"}));
}

TEST(RegisterDecoders, SwitchedOffOrReprioritisedKinds) {
    struct Case {
        const char* key;
        int value;
        std::size_t rows;
        int firstPriority;
        int lastLibAvPriority;  // row 11 of the FFmpeg kind
    } cases[] = {
        {"Client.Decoder.OpenH264.enabled", 0, 11, 5, 4},
        {"Client.Decoder.LibAVH264.enabled", 0, 6, 3, -1},
        {"Client.Decoder.LibAVH264.priority", 0, 17, 0, 0},
        {"Client.Decoder.LibAVH264.priority", -1, 6, 3, -1},
        {"Client.Decoder.LibAVH264.priority", -5, 17, -5, 0},
        {"Client.Decoder.OpenH264.priority", 7, 17, 5, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + std::to_string(c.value));
        decoderRegistry.clear();
        FakeSettings settings;
        if (std::string(c.key).find("enabled") != std::string::npos) {
            settings.bools[c.key] = c.value != 0;
        } else {
            settings.ints[c.key] = c.value;
        }
        LogCapture log;
        EXPECT_TRUE(StreamDecoder::registerDecoders(settings.config()));
        ASSERT_EQ(decoderRegistry.size(), c.rows);
        EXPECT_EQ(decoderRegistry.front().priority, c.firstPriority);
        if (c.lastLibAvPriority != -1) {
            EXPECT_EQ(decoderRegistry[10].priority, c.lastLibAvPriority);
        }
        if (c.value == 0 && std::string(c.key).find("OpenH264.enabled") != std::string::npos) {
            EXPECT_TRUE(log.contains("Decoder 'OpenH264' disabled by config"));
        }
        if (std::string(c.key) == "Client.Decoder.OpenH264.priority") {
            EXPECT_EQ(decoderRegistry.back().priority, 7);
        }
    }
}

TEST(RegisterDecoders, WithoutFfmpegOnlyOpenH264AndBothSettingsExist) {
    for (FfmpegLibrary lib : {FfmpegLibrary::avutil, FfmpegLibrary::avcodec, FfmpegLibrary::swscale}) {
        ffmpegLibraryFiles(lib) = {"libqdk-missing.so.1", "libqdk-missing.so"};
    }
    LogCapture log;
    FakeSettings settings;
    ASSERT_TRUE(StreamDecoder::registerDecoders(settings.config()));
    ASSERT_EQ(decoderRegistry.size(), 6u);
    EXPECT_EQ(decoderRegistry[0].name, "OpenH264");
    EXPECT_TRUE(log.contains("Decoder 'LibAVH264' not available"));
    EXPECT_EQ(settings.readDefaults["Client.Decoder.LibAVH264.enabled"], "false");
    EXPECT_EQ(settings.readDefaults["Client.Decoder.LibAVH264.priority"], "-2");
}

TEST(StreamDecoderCreate, NamesAreExact) {
    LogCapture log;
    ASSERT_TRUE(ensureLibav());
    EXPECT_EQ(StreamDecoder::create("openh264", 10, 10, 0, {0, 0, 8}), nullptr);
    EXPECT_TRUE(log.contains("StreamDecoder: No suitable decoder found"));
    std::unique_ptr<StreamDecoder> openH264 = StreamDecoder::create("OpenH264", 10, 10, 0, {0, 0, 8});
    ASSERT_TRUE(openH264);
    EXPECT_EQ(openH264->name, "OpenH264");
    std::unique_ptr<StreamDecoder> libav = StreamDecoder::create("LibAVH264", 10, 10, 0, {0, 0, 8});
    ASSERT_TRUE(libav);
    EXPECT_EQ(libav->name, "LibAVH264");
    EXPECT_TRUE(log.contains("Using decoder OpenH264, out format YUV420p"));
}

TEST(StreamDecoderCreate, H264Family) {
    for (int encoding : {0, 1, 2, 3, 4, 5, 6, 9, 7, 8, 20, 22, 24}) {
        std::unique_ptr<StreamDecoder> decoder = StreamDecoder::create("OpenH264", 10, 10, 0, {encoding, 0, 8});
        EXPECT_EQ(decoder->isH264Family(), encoding <= 6 || encoding == 9) << encoding;
    }
}
