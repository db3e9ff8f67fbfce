// Real H.264 streams made by ffmpeg, decoded by both decoders and compared
// byte for byte with ffmpeg's own decode of the same stream.
#include "ColorFormat.h"
#include "DecodedVideoFrame.h"
#include "FfmpegLoader.h"
#include "LogCapture.h"
#include "StreamDecoder.h"
#include "StreamDecoderLibAV.h"
#include "TestStreams.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

using qor::StreamDecoder;
using qor::StreamDecoderLibAV;
using qor::VideoEncodingSpec;
using qor::VideoFrame;

namespace {

const StreamDecoder::FormatTest glCanvas = [](int code) {
    return code == ColorFormat::YUV420P || code == ColorFormat::YUV444P || code == ColorFormat::NV12 ||
           code == ColorFormat::RGB24 || code == ColorFormat::GBRP;
};
const StreamDecoder::FormatTest rgbCanvas = [](int code) { return code == ColorFormat::RGB24; };

class StreamDecode : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(ensureLibav()); }
    void TearDown() override { StreamDecoderLibAV::freeRetiredResources(); }

    std::unique_ptr<StreamDecoder> make(const std::string& name, const VideoEncodingSpec& spec, int output,
                                        int width = 320, int height = 240) {
        std::unique_ptr<StreamDecoder> decoder = StreamDecoder::create(name, width, height, output, spec);
        EXPECT_TRUE(decoder && decoder->init()) << name;
        return decoder;
    }
};

// Each picture must equal the next frame of the reference file.
void expectPicturesEqualReference(const DecodeResult& result, const std::vector<std::uint8_t>& reference,
                                  const std::string& label) {
    std::size_t offset = 0;
    for (std::size_t i = 0; i < result.pictures.size(); ++i) {
        const std::vector<std::uint8_t>& picture = result.pictures[i];
        ASSERT_LE(offset + picture.size(), reference.size()) << label << " picture " << i;
        EXPECT_TRUE(std::equal(picture.begin(), picture.end(), reference.begin() + offset))
            << label << ": picture " << i << " (" << result.formats[i] << ") differs from the reference";
        offset += picture.size();
    }
    EXPECT_EQ(offset, reference.size()) << label << ": pictures missing";
}

} // namespace

// Which decoder decodes which stream, and that every picture it gives is
// exactly ffmpeg's.
TEST_F(StreamDecode, EveryPictureEqualsFfmpegsDecode) {
    struct Case {
        const char* stream;
        const char* decoder;
        VideoEncodingSpec spec;
        int output;
        const char* reference;  // null: the decoder rejects the stream
        const char* firstFormat;
    } cases[] = {
        {"baseline.h264", "OpenH264", {0, 0, 8}, 0, "baseline.yuv420p", "320x240 0"},
        {"baseline.h264", "LibAVH264", {0, 0, 8}, 0, "baseline.yuv420p", "320x240 0"},
        {"high.h264", "OpenH264", {3, 0, 8}, 0, "high.yuv420p", "320x240 0"},
        {"high.h264", "LibAVH264", {3, 0, 8}, 0, "high.yuv420p", "320x240 0"},
        {"main.h264", "OpenH264", {2, 0, 8}, 0, "main.yuv420p", "322x242 0"},
        {"main.h264", "LibAVH264", {2, 0, 8}, 0, "main.yuv420p", "322x242 0"},
        {"wide.h264", "OpenH264", {3, 0, 8}, 0, "wide.yuv420p", "1366x768 0"},
        {"wide.h264", "LibAVH264", {3, 0, 8}, 0, "wide.yuv420p", "1366x768 0"},
        {"hd.h264", "OpenH264", {3, 0, 8}, 0, "hd.yuv420p", "1918x1080 0"},
        {"hd.h264", "LibAVH264", {3, 0, 8}, 0, "hd.yuv420p", "1918x1080 0"},
        {"sizechange.h264", "OpenH264", {3, 0, 8}, 0, "sizechange.yuv420p", "320x240 0"},
        {"sizechange.h264", "LibAVH264", {3, 0, 8}, 0, "sizechange.yuv420p", "320x240 0"},
        {"high444.h264", "LibAVH264", {6, 6, 8}, 6, "high444.yuv444p", "322x242 6"},
        {"odd444.h264", "LibAVH264", {6, 6, 8}, 6, "odd444.yuv444p", "321x241 6"},
        {"rgb.h264", "LibAVH264", {9, 125, 8}, 160, "rgb.gbrp", "321x241 160"},
        // Ten bits have no colour code: the canvas cannot draw them, and the
        // conversion makes what ffmpeg's scaler makes.
        {"high10.h264", "LibAVH264", {3, 0, 8}, 0, "high10.rgb24", "320x240 125"},
        {"high444.h264", "OpenH264", {6, 6, 8}, 0, nullptr, nullptr},
        {"rgb.h264", "OpenH264", {9, 125, 8}, 0, nullptr, nullptr},
        {"high10.h264", "OpenH264", {3, 0, 8}, 0, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        const std::string label = std::string(c.stream) + " by " + c.decoder;
        SCOPED_TRACE(label);
        const auto units = readAccessUnits(c.stream);
        std::unique_ptr<StreamDecoder> decoder = make(c.decoder, c.spec, c.output);
        ASSERT_TRUE(decoder);
        const DecodeResult result = decodeAll(*decoder, units, glCanvas);
        if (c.reference == nullptr) {
            EXPECT_TRUE(result.pictures.empty());
            EXPECT_EQ(result.failures, static_cast<int>(units.size()));
            continue;
        }
        // One picture for every access unit, at once: nothing held back.
        EXPECT_EQ(result.failures, 0);
        ASSERT_EQ(result.pictures.size(), units.size());
        EXPECT_EQ(result.formats[0], c.firstFormat);
        expectPicturesEqualReference(result, readBinaryFile(testStreamPath(c.reference)), label);
    }
}

// Peak signal-to-noise ratio of two pictures of equal size, in dB.
double psnr(const std::vector<std::uint8_t>& a, const std::uint8_t* b) {
    double squares = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double d = double(a[i]) - double(b[i]);
        squares += d * d;
    }
    if (squares == 0) return 99;
    return 10 * std::log10(255.0 * 255.0 * double(a.size()) / squares);
}

// Streams with B-frames come out in display order, every picture once:
// those a decoder holds back come at the end of the stream, also across the
// IDR picture in the middle. FFmpeg's pictures are exactly ffmpeg's; where
// OpenH264 is not bit-exact (sub-macroblock partitions in B-frames), each
// picture must be far closer to its own frame than to its neighbours.
TEST_F(StreamDecode, BFramesComeOutInDisplayOrderAndAllAtTheEnd) {
    struct Case {
        const char* stream;
        const char* decoder;
        int output;
        int heldBack;
        bool exact;
    } cases[] = {
        {"bpyramid", "OpenH264", ColorFormat::YUV420P, 2, true},
        {"bpyramid", "LibAVH264", ColorFormat::YUV420P, 2, true},
        {"bframes", "OpenH264", ColorFormat::YUV420P, 1, true},
        {"bframes", "LibAVH264", ColorFormat::YUV420P, 1, true},
        {"bpyramid", "OpenH264", ColorFormat::RGB24, 2, true},
        {"bframes48", "OpenH264", ColorFormat::YUV420P, 2, false},
        {"bframes48", "LibAVH264", ColorFormat::YUV420P, 2, true},
    };
    for (const Case& c : cases) {
        const std::string label = std::string(c.stream) + " by " + c.decoder + " as " + colorFormatName(c.output);
        SCOPED_TRACE(label);
        const auto units = readAccessUnits(std::string(c.stream) + ".h264");
        std::unique_ptr<StreamDecoder> decoder = make(c.decoder, {3, 0, 8}, c.output);
        LogCapture log;
        const DecodeResult result = decodeAll(*decoder, units, glCanvas);
        // Held back is no error.
        EXPECT_EQ(log.count("rror"), 0) << ::testing::PrintToString(log.texts());
        EXPECT_EQ(result.failures, c.heldBack);
        EXPECT_EQ(result.drained, c.heldBack);
        ASSERT_EQ(result.pictures.size(), units.size());
        // Nothing more, however often asked.
        VideoFrame* frame = decoder->allocFrame(decoder->outputColorFormat);
        EXPECT_FALSE(decoder->drain(&frame));
        qor::releaseVideoFrame(&frame);

        const std::string yuv = std::string(c.stream) + ".yuv420p";
        const std::vector<std::uint8_t> reference = c.output == ColorFormat::RGB24
                                                        ? rgbReference(yuv, 320, 240)
                                                        : readBinaryFile(testStreamPath(yuv));
        const std::size_t frameBytes = reference.size() / units.size();
        for (std::size_t i = 0; i < result.pictures.size(); ++i) {
            ASSERT_EQ(result.pictures[i].size(), frameBytes);
            const std::uint8_t* own = reference.data() + i * frameBytes;
            if (c.exact) {
                EXPECT_TRUE(std::equal(result.pictures[i].begin(), result.pictures[i].end(), own))
                    << "picture " << i << " is not frame " << i << " of the display order";
                continue;
            }
            const double match = psnr(result.pictures[i], own);
            EXPECT_GT(match, 40) << "picture " << i;
            for (std::size_t j : {i - 1, i + 1}) {
                if (j >= units.size()) continue;
                EXPECT_GT(match, psnr(result.pictures[i], reference.data() + j * frameBytes) + 6)
                    << "picture " << i << " looks like frame " << j;
            }
        }
    }
}

// A stream ended in the middle (a resync): what the decoder holds of the
// first part comes out at its end, and the decoder then takes the next part
// from its IDR picture on, every picture once and in order.
TEST_F(StreamDecode, DrainedDecoderTakesANewStream) {
    const auto units = readAccessUnits("bpyramid.h264");
    ASSERT_EQ(units.size(), 24u);
    const std::vector<std::uint8_t> reference = readBinaryFile(testStreamPath("bpyramid.yuv420p"));
    for (const char* name : {"OpenH264", "LibAVH264"}) {
        SCOPED_TRACE(name);
        std::unique_ptr<StreamDecoder> decoder = make(name, {3, 0, 8}, 0);
        // The second IDR picture begins unit 12.
        const std::vector<std::vector<std::uint8_t>> first(units.begin(), units.begin() + 12);
        const std::vector<std::vector<std::uint8_t>> second(units.begin() + 12, units.end());
        DecodeResult result = decodeAll(*decoder, first, glCanvas);
        EXPECT_EQ(result.drained, 2);
        const DecodeResult rest = decodeAll(*decoder, second, glCanvas);
        EXPECT_EQ(rest.drained, 2);
        result.pictures.insert(result.pictures.end(), rest.pictures.begin(), rest.pictures.end());
        result.formats.insert(result.formats.end(), rest.formats.begin(), rest.formats.end());
        expectPicturesEqualReference(result, reference, name);
    }
}

TEST_F(StreamDecode, SizeChangeMidStreamFollowsThePictures) {
    for (const char* name : {"OpenH264", "LibAVH264"}) {
        std::unique_ptr<StreamDecoder> decoder = make(name, {3, 0, 8}, 0);
        const DecodeResult result = decodeAll(*decoder, readAccessUnits("sizechange.h264"), glCanvas);
        ASSERT_EQ(result.formats.size(), 16u) << name;
        EXPECT_EQ(result.formats[7], "320x240 0") << name;
        EXPECT_EQ(result.formats[8], "352x288 0") << name;
    }
}

// A sequence whose pictures are taller than any stream can announce (here
// the 64x16384 stream with parameter sets that announce 100,000 rows) gives
// no picture: FFmpeg is refused its planes for them, so neither it nor the
// conversion or the canvas holds such a picture; one line says so. The next
// sequence, of a size a stream can have, is decoded again. OpenH264 refuses
// such sizes itself.
TEST_F(StreamDecode, PicturesTallerThanAnyStreamAreDropped) {
    const auto units = readAccessUnits("tall.h264");
    const auto taller = withAnnouncedHeight(units, 100000);
    ASSERT_EQ(taller.size(), units.size());
    const std::string dropped = "LibAVH264: Dropping pictures of 64x100000, larger than 16384x16384";
    for (const char* name : {"LibAVH264", "OpenH264"}) {
        for (const int output : {ColorFormat::YUV420P, ColorFormat::RGB24}) {
            SCOPED_TRACE(std::string(name) + " with output " + std::to_string(output));
            LogCapture log("information");
            std::unique_ptr<StreamDecoder> decoder = make(name, {3, 0, 8}, output, 64, 16384);
            ASSERT_TRUE(decoder);
            const DecodeResult refused = decodeAll(*decoder, taller, glCanvas);
            EXPECT_TRUE(refused.pictures.empty()) << refused.formats.front();
            EXPECT_EQ(refused.failures, static_cast<int>(taller.size()));
            if (std::string(name) != "LibAVH264") continue;
            EXPECT_EQ(log.count(dropped), 1);
            const DecodeResult next = decodeAll(*decoder, units, glCanvas);
            ASSERT_EQ(next.formats.size(), units.size());
            EXPECT_EQ(next.formats.back(), "64x16384 " + std::to_string(output));
        }
    }
}

// The size a decoder is made for is a hint: one whose frames cannot be had
// (or that is no size at all) still gives every picture, at its own size.
TEST_F(StreamDecode, SizeNoFrameCanHaveStillGivesEveryPicture) {
    const std::vector<std::uint8_t> reference = readBinaryFile(testStreamPath("high.yuv420p"));
    const auto units = readAccessUnits("high.h264");
    const std::pair<int, int> sizes[] = {{46341, 46341}, {2147483647, 2147483647}, {0, 0}, {-16, 240}};
    for (const char* name : {"OpenH264", "LibAVH264"}) {
        for (const auto& size : sizes) {
            const std::string label =
                std::string(name) + " made for " + std::to_string(size.first) + "x" + std::to_string(size.second);
            SCOPED_TRACE(label);
            std::unique_ptr<StreamDecoder> decoder = make(name, {3, 0, 8}, 0, size.first, size.second);
            ASSERT_TRUE(decoder);
            const DecodeResult result = decodeAll(*decoder, units, glCanvas);
            EXPECT_EQ(result.failures, 0);
            expectPicturesEqualReference(result, reference, label);
        }
    }
}

// RGB24 straight from OpenH264's planes, and the inline conversion of its
// YUV420p frames, both equal the conversion of ffmpeg's pictures.
TEST_F(StreamDecode, OpenH264Rgb24EqualsConvertedReference) {
    struct Case {
        const char* stream;
        const char* reference;
        int width, height;
    } cases[] = {{"high.h264", "high.yuv420p", 320, 240}, {"main.h264", "main.yuv420p", 322, 242}};
    for (const Case& c : cases) {
        const std::vector<std::uint8_t> expected = rgbReference(c.reference, c.width, c.height);
        // Made for another size: the pictures' own size counts.
        std::unique_ptr<StreamDecoder> direct = make("OpenH264", {3, 0, 8}, ColorFormat::RGB24, 640, 480);
        const DecodeResult straight = decodeAll(*direct, readAccessUnits(c.stream), glCanvas);
        EXPECT_EQ(straight.formats[0], std::to_string(c.width) + "x" + std::to_string(c.height) + " 125");
        expectPicturesEqualReference(straight, expected, std::string(c.stream) + " direct");

        std::unique_ptr<StreamDecoder> planar = make("OpenH264", {3, 0, 8}, ColorFormat::YUV420P, 640, 480);
        const DecodeResult converted = decodeAll(*planar, readAccessUnits(c.stream), rgbCanvas);
        expectPicturesEqualReference(converted, expected, std::string(c.stream) + " converted");
    }
}

TEST_F(StreamDecode, LibAVRgb24OutputReplacesTheFrameAndUsesThePicturesOwnSize) {
    // Announced as 1280x720, the stream is 322x242.
    std::unique_ptr<StreamDecoder> decoder = make("LibAVH264", {6, 6, 8}, ColorFormat::RGB24, 1280, 720);
    const auto units = readAccessUnits("high444.h264");
    VideoFrame* frame = decoder->allocFrame(ColorFormat::RGB24);
    VideoFrame* given = frame;
    ASSERT_TRUE(decoder->decode(units[0].data(), static_cast<std::uint32_t>(units[0].size()), &frame));
    EXPECT_NE(frame, given);
    EXPECT_EQ(frame->colorFormat(), ColorFormat::RGB24);
    EXPECT_EQ(frame->width(), 322);
    EXPECT_GE(frame->lineSize(0), 3 * 322);
    qor::releaseVideoFrame(&frame);

    std::unique_ptr<StreamDecoder> fresh = make("LibAVH264", {6, 6, 8}, ColorFormat::RGB24, 1280, 720);
    const DecodeResult result = decodeAll(*fresh, units, glCanvas);
    expectPicturesEqualReference(result, readBinaryFile(testStreamPath("high444.rgb24")), "high444 rgb24");
    // The same through the canvas-side conversion of YUV444p pictures.
    std::unique_ptr<StreamDecoder> planar = make("LibAVH264", {6, 6, 8}, ColorFormat::YUV444P, 64, 64);
    ASSERT_TRUE(planar->canConvert());
    expectPicturesEqualReference(decodeAll(*planar, units, rgbCanvas),
                                 readBinaryFile(testStreamPath("high444.rgb24")), "high444 converted");
}

// An access unit without a picture is never a new picture: nothing to
// present, and it counts as a failure for the resync logic.
TEST_F(StreamDecode, UnitWithoutPictureIsNoPicture) {
    const auto units = readAccessUnits("high.h264");
    // The parameter sets of the first unit, without its slices.
    std::vector<std::uint8_t> parameterSets;
    for (std::size_t i = 0; i + 4 < units[0].size(); ++i) {
        if (units[0][i] == 0 && units[0][i + 1] == 0 && units[0][i + 2] == 1 && (units[0][i + 3] & 0x1f) == 5) {
            parameterSets.assign(units[0].begin(), units[0].begin() + i);
            break;
        }
    }
    ASSERT_FALSE(parameterSets.empty());
    for (const char* name : {"OpenH264", "LibAVH264"}) {
        SCOPED_TRACE(name);
        std::unique_ptr<StreamDecoder> decoder = make(name, {3, 0, 8}, 0);
        auto decodeUnit = [&](const std::vector<std::uint8_t>& unit) {
            VideoFrame* frame = decoder->allocFrame(0);
            const bool decoded = decoder->decode(unit.data(), static_cast<std::uint32_t>(unit.size()), &frame);
            qor::releaseVideoFrame(&frame);
            return decoded;
        };
        LogCapture log;
        EXPECT_FALSE(decodeUnit(parameterSets));
        EXPECT_TRUE(decodeUnit(units[0]));
        EXPECT_FALSE(decodeUnit(parameterSets));
        EXPECT_TRUE(decodeUnit(units[1]));
        EXPECT_EQ(decoder->frameCount, 2);
        if (decoder->name == "OpenH264") {
            EXPECT_EQ(log.count("Buffer status: 0"), 1);
            EXPECT_EQ(log.count("Decode returned: "), 1);
        } else {
            // FFmpeg refuses a packet without a slice outright.
            const std::string size = ", size " + std::to_string(parameterSets.size()) + " got ";
            EXPECT_TRUE(log.contains("Error sending a packet to decoder while decoding frame 0" + size));
            EXPECT_TRUE(log.contains("Error sending a packet to decoder while decoding frame 1" + size));
        }
    }
}

// Damaged units cost pictures, never the process; from the next IDR picture
// on, the pictures are exact again.
TEST_F(StreamDecode, DamagedUnitsRecoverAtTheNextKeyFrame) {
    const auto clean = readAccessUnits("high.h264");
    const std::vector<std::uint8_t> reference = readBinaryFile(testStreamPath("high.yuv420p"));
    const std::size_t frameSize = 320 * 240 * 3 / 2;
    auto units = clean;
    units[2].resize(units[2].size() / 2);
    for (std::size_t i = 40; i < units[3].size(); i += 7) units[3][i] ^= 0x5a;
    units[4].assign(300, 0xff);
    units[5].clear();
    units[5].push_back(0);
    for (const char* name : {"OpenH264", "LibAVH264"}) {
        SCOPED_TRACE(name);
        std::unique_ptr<StreamDecoder> decoder = make(name, {3, 0, 8}, 0);
        for (std::size_t i = 0; i < units.size(); ++i) {
            VideoFrame* frame = decoder->allocFrame(0);
            const bool decoded =
                decoder->decode(units[i].data(), static_cast<std::uint32_t>(units[i].size()), &frame);
            if (i < 2 || i >= 8) {
                ASSERT_TRUE(decoded) << "unit " << i;
                const std::vector<std::uint8_t> bytes = frameBytes(*frame);
                ASSERT_EQ(bytes.size(), frameSize);
                EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), reference.begin() + i * frameSize))
                    << "unit " << i;
            }
            qor::releaseVideoFrame(&frame);
        }
    }
}

TEST_F(StreamDecode, GarbageNeverGivesAPicture) {
    for (const char* name : {"OpenH264", "LibAVH264"}) {
        std::unique_ptr<StreamDecoder> decoder = make(name, {3, 0, 8}, 0);
        std::uint32_t seed = 12345;
        for (int i = 0; i < 20; ++i) {
            std::vector<std::uint8_t> unit(64 + i * 37);
            for (std::uint8_t& b : unit) b = static_cast<std::uint8_t>((seed = seed * 1103515245 + 12345) >> 24);
            unit[0] = 0, unit[1] = 0, unit[2] = 1, unit[3] = 0x65;
            VideoFrame* frame = decoder->allocFrame(0);
            EXPECT_FALSE(decoder->decode(unit.data(), static_cast<std::uint32_t>(unit.size()), &frame)) << name;
            qor::releaseVideoFrame(&frame);
        }
    }
}

TEST_F(StreamDecode, UninitialisedDecodersRefuseEveryUnit) {
    LogCapture log;
    const auto units = readAccessUnits("high.h264");
    for (const char* name : {"OpenH264", "LibAVH264"}) {
        std::unique_ptr<StreamDecoder> decoder = StreamDecoder::create(name, 320, 240, 0, {3, 0, 8});
        VideoFrame* frame = decoder->allocFrame(0);
        EXPECT_FALSE(decoder->decode(units[0].data(), static_cast<std::uint32_t>(units[0].size()), &frame));
        qor::releaseVideoFrame(&frame);
    }
    EXPECT_EQ(log.count("OpenH264: Decoder not initialized"), 1);
}

TEST_F(StreamDecode, RetiredFfmpegStateIsFreedTwoSecondsLater) {
    StreamDecoderLibAV::freeRetiredResources();
    make("LibAVH264", {3, 0, 8}, 0).reset();
    make("LibAVH264", {3, 0, 8}, 0).reset();
    EXPECT_EQ(StreamDecoderLibAV::retiredResourceCount(), 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    make("LibAVH264", {3, 0, 8}, 0).reset();
    EXPECT_EQ(StreamDecoderLibAV::retiredResourceCount(), 1);
}

// Every 50th conversion, over all FFmpeg decoders, writes one timing line; a
// decoder made in between restarts the average, which then reads -1.
TEST_F(StreamDecode, ConversionTimingLineEveryFiftyConversions) {
    const auto units = readAccessUnits("high444.h264");
    std::unique_ptr<StreamDecoder> decoder = make("LibAVH264", {6, 6, 8}, ColorFormat::YUV444P);
    VideoFrame* frame = decoder->allocFrame(ColorFormat::YUV444P);
    ASSERT_TRUE(decoder->decode(units[0].data(), static_cast<std::uint32_t>(units[0].size()), &frame));
    LogCapture log("debug");
    auto convertTimes = [&](int times) {
        for (int i = 0; i < times; ++i) {
            VideoFrame* rgb = decoder->convert(frame);
            ASSERT_NE(rgb, nullptr);
            qor::releaseVideoFrame(&rgb);
        }
    };
    convertTimes(49);
    EXPECT_EQ(log.count("avg colorConv"), 0);
    convertTimes(1);
    EXPECT_EQ(log.count("LibAVH264: avg colorConv "), 1);
    EXPECT_EQ(log.count("avg colorConv -1.000000"), 0);
    convertTimes(20);
    make("LibAVH264", {6, 6, 8}, ColorFormat::YUV444P).reset();
    convertTimes(30);
    EXPECT_EQ(log.count("LibAVH264: avg colorConv -1.000000, min/max "), 1);
    qor::releaseVideoFrame(&frame);
}
