// The video path end to end: an H.264 stream made by ffmpeg is posted one
// access unit at a time to a screen's decoder thread, which takes a real
// canvas window out of the canvas registry, chooses its stream decoder from
// the decoder kinds the process registered, and presents every picture to
// the window while the GUI thread repaints it. After the last unit the
// window's framebuffer must show ffmpeg's own decode of the last picture
// (converted to RGB by ffmpeg) at every sample point inside a flat area of
// the picture, mapped through the viewport the window draws into.
#include "AVFrameAllocator.h"
#include "AccessUnitSplitter.h"
#include "CanvasRegistry.h"
#include "CanvasTestSupport.h"
#include "ClientSettings.h"
#include "ColorFormat.h"
#include "DecodedFrameAllocator.h"
#include "NativeClientColorConvThread.h"
#include "NativeClientDecoder.h"
#include "NativeClientVideoFrameEvent.h"
#include "QorCanvasListEntry.h"
#include "QorEventThread.h"
#include "StreamDecoder.h"
#include "StreamDecoderLibAV.h"
#include "StreamStatistics.h"
#include "TestPaths.h"

#include <QImage>
#include <QRect>
#include <QSize>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

using namespace qor;

namespace {

constexpr int SCREEN = 3;
constexpr int WAIT_MS = 60000;
// Levels per channel between the window's colours and ffmpeg's: the GPU
// programs and swscale round YUV to RGB apart by a few levels.
constexpr int TOLERANCE = 5;
// A sample point counts only where ffmpeg's picture is this flat around it.
constexpr int FLATNESS = 2;
// Viewport pixels between two sample points, in each direction.
constexpr int SAMPLE_STEP = 3;

// Who made the frame the window draws: the pool of decoded frames (a
// decoder's copy out of its reused buffers, or the window's own copy of a
// frame GL cannot read as it lies), or FFmpeg (its picture, referenced).
enum class Maker { Pool, Ffmpeg };

struct PathCase {
    const char* name;
    int width, height, frames;
    const char* encoding;    // ffmpeg's output options
    const char* decoderKind; // the only kind registered
    VideoEncodingSpec spec;
    bool gpuConversion;      // Client.hwColorConversion
    bool quads;              // Client.openGLRenderMode
    int drawnFormat;         // colour format of the frame in the window's slot
    Maker maker;
    bool conversionThread;
    QSize window;
    QRect viewport;          // GL window coordinates, origin bottom left
};

// Test names and failure lines show a case by its name.
void PrintTo(const PathCase& c, std::ostream* out) { *out << c.name; }

constexpr const char* baseline = "-pix_fmt yuv420p -c:v libx264 -profile:v baseline -x264-params aud=1:keyint=4";
constexpr const char* main420 = "-pix_fmt yuv420p -c:v libx264 -profile:v main -tune zerolatency -x264-params aud=1";
constexpr const char* wide420 =
    "-pix_fmt yuv420p -c:v libx264 -preset ultrafast -tune zerolatency -x264-params aud=1";
constexpr const char* high444 =
    "-pix_fmt yuv444p -c:v libx264 -profile:v high444 -tune zerolatency -x264-params aud=1:keyint=4";
constexpr const char* losslessRgb = "-pix_fmt rgb24 -c:v libx264rgb -qp 0 -tune zerolatency -x264-params aud=1";

const PathCase cases[] = {
    // Baseline 4:2:0 by OpenH264, drawn by the YUV420p program at 1:1.
    {"OpenH264Baseline", 320, 240, 8, baseline, "OpenH264", {0, 0, 8}, true, false, ColorFormat::YUV420P,
     Maker::Pool, false, {400, 300}, {30, 20, 320, 240}},
    // The same for a window without colour-conversion programs: OpenH264
    // writes RGB24 straight out of its buffers.
    {"OpenH264BaselineToRgb", 320, 240, 8, baseline, "OpenH264", {0, 0, 8}, false, false, ColorFormat::RGB24,
     Maker::Pool, false, {400, 300}, {30, 20, 320, 240}},
    // Main (the library holds each picture back unless flushed) at a size
    // that is no whole number of macroblocks, scaled to fill the window,
    // drawn with quads.
    {"OpenH264MainOddSizeScaled", 322, 242, 8, main420, "OpenH264", {2, 0, 8}, true, true, ColorFormat::YUV420P,
     Maker::Pool, false, {400, 300}, {0, 0, 400, 300}},
    // A wide screen, scaled down to half.
    {"OpenH264WideHalfSize", 1366, 768, 3, wide420, "OpenH264", {3, 0, 8}, true, false, ColorFormat::YUV420P,
     Maker::Pool, false, {700, 400}, {9, 7, 683, 384}},
    // High 4:4:4 by FFmpeg: its own picture drawn by the YUV444p program.
    {"FfmpegHigh444", 322, 242, 8, high444, "LibAVH264", {6, 6, 8}, true, false, ColorFormat::YUV444P,
     Maker::Ffmpeg, false, {400, 300}, {30, 20, 322, 242}},
    // High 4:4:4 for a window without programs: FFmpeg converts to RGB24
    // while decoding; its lines (322 * 3 bytes, aligned to 32) are no whole
    // number of texels, so the window draws its own copy.
    {"FfmpegHigh444ToRgb", 322, 242, 8, high444, "LibAVH264", {6, 6, 8}, false, true, ColorFormat::RGB24,
     Maker::Pool, false, {400, 300}, {30, 20, 322, 242}},
    // Lossless RGB at an odd size: planar GBR drawn by the RGBp program.
    {"FfmpegLosslessRgbOddSize", 321, 241, 6, losslessRgb, "LibAVH264", {9, 125, 8}, true, false,
     ColorFormat::GBRP, Maker::Ffmpeg, false, {400, 300}, {31, 21, 321, 241}},
    // The same for a window without programs: no registered output fits,
    // so the colour-conversion thread converts every picture to RGB24.
    {"FfmpegLosslessRgbOddSizeConverted", 321, 241, 6, losslessRgb, "LibAVH264", {9, 125, 8}, false, false,
     ColorFormat::RGB24, Maker::Pool, true, {400, 300}, {31, 21, 321, 241}},
};

// 8 x 6 flat tiles whose colours all change from one picture to the next,
// and a box that moves to the right (a filter text to put in double quotes).
std::string pattern() {
    const std::string tile = "(floor(X*8/W)+8*floor(Y*6/H))";
    const std::string box = "between(X,W/10+N*W/40,W/10+N*W/40+W/5)*between(Y,H*3/5,H*4/5)";
    auto channel = [&](const char* name, int boxLevel, int start, int perPicture, int perTile) {
        return std::string(name) + "='if(" + box + "," + std::to_string(boxLevel) + ",30+mod(" +
               std::to_string(start) + "+" + std::to_string(perPicture) + "*N+" + std::to_string(perTile) + "*" +
               tile + ",200))'";
    };
    return "format=rgb24,geq=" + channel("r", 240, 50, 29, 61) + ":" + channel("g", 230, 120, 17, 89) + ":" +
           channel("b", 40, 200, 41, 23);
}

bool runFfmpeg(const std::string& arguments) {
    const std::string command = "ffmpeg -nostdin -hide_banner -loglevel error -y " + arguments;
    const bool ok = std::system(command.c_str()) == 0;
    EXPECT_TRUE(ok) << command;
    return ok;
}

// ffmpeg's decode of a stream, converted to RGB24 by ffmpeg.
struct RgbPictures {
    int width = 0, height = 0;
    std::string bytes;

    std::size_t count() const { return bytes.size() / (static_cast<std::size_t>(width) * height * 3); }
    const std::uint8_t* at(std::size_t picture, int x, int y) const {
        return reinterpret_cast<const std::uint8_t*>(bytes.data()) +
               ((picture * height + y) * static_cast<std::size_t>(width) + x) * 3;
    }
};

std::vector<std::string> accessUnits(const std::string& stream) {
    std::vector<std::string> units;
    for (const AccessUnitSplitter::Unit& unit :
         AccessUnitSplitter::split(reinterpret_cast<const std::uint8_t*>(stream.data()), stream.size())) {
        units.push_back(stream.substr(unit.offset, unit.length));
    }
    return units;
}

bool flatAround(const RgbPictures& reference, std::size_t picture, int x, int y, int radius) {
    if (x < radius || y < radius || x + radius >= reference.width || y + radius >= reference.height) return false;
    const std::uint8_t* centre = reference.at(picture, x, y);
    for (int dy = -radius; dy <= radius; ++dy) {
        for (int dx = -radius; dx <= radius; ++dx) {
            const std::uint8_t* near = reference.at(picture, x + dx, y + dy);
            for (int c = 0; c < 3; ++c) {
                if (std::abs(near[c] - centre[c]) > FLATNESS) return false;
            }
        }
    }
    return true;
}

int largestDifference(const std::uint8_t* a, const int b[3]) {
    int difference = 0;
    for (int c = 0; c < 3; ++c) difference = std::max(difference, std::abs(a[c] - b[c]));
    return difference;
}

struct Comparison {
    int points = 0;
    // Points where the picture before the last is clearly another colour:
    // there a window that shows a stale picture fails.
    int telling = 0;
    int mismatches = 0;
    int worst = 0;
    std::string first;
};

// Samples the viewport on a grid; each viewport pixel shows the picture
// pixel under its centre. Points whose neighbourhood in the picture is not
// flat (tile and box edges, where chroma is shared or the scale may round
// to either side) are left out.
Comparison compare(const QImage& image, const QRect& viewport, const RgbPictures& reference, std::size_t picture) {
    Comparison result;
    const int radius = 2 + reference.width / viewport.width();
    for (int j = SAMPLE_STEP / 2; j < viewport.height(); j += SAMPLE_STEP) {
        for (int i = SAMPLE_STEP / 2; i < viewport.width(); i += SAMPLE_STEP) {
            const int fx = static_cast<int>((i + 0.5) * reference.width / viewport.width());
            const int fy = static_cast<int>((j + 0.5) * reference.height / viewport.height());
            if (!flatAround(reference, picture, fx, fy, radius)) continue;
            ++result.points;
            const std::uint8_t* expected = reference.at(picture, fx, fy);
            if (picture > 0) {
                const std::uint8_t* before = reference.at(picture - 1, fx, fy);
                const int previous[3] = {before[0], before[1], before[2]};
                if (largestDifference(expected, previous) > 2 * TOLERANCE) ++result.telling;
            }
            const int ix = viewport.x() + i;
            const int iy = image.height() - viewport.y() - viewport.height() + j;
            const QRgb shown = image.pixel(ix, iy);
            const int got[3] = {qRed(shown), qGreen(shown), qBlue(shown)};
            const int difference = largestDifference(expected, got);
            result.worst = std::max(result.worst, difference);
            if (difference <= TOLERANCE) continue;
            if (result.mismatches++ == 0) {
                result.first = "picture pixel " + std::to_string(fx) + "," + std::to_string(fy) + " (window " +
                               std::to_string(ix) + "," + std::to_string(iy) + ") expected " +
                               std::to_string(expected[0]) + "/" + std::to_string(expected[1]) + "/" +
                               std::to_string(expected[2]) + " got " + std::to_string(got[0]) + "/" +
                               std::to_string(got[1]) + "/" + std::to_string(got[2]);
            }
        }
    }
    return result;
}

// The server connection's place: keeps what the decoder reports to it.
class ServerSide : public QorEventThread {
public:
    ServerSide() : QorEventThread(false) { setName("Session 1"); }
    void eventLoop() override {}
};

void freeUnit(char* buffer) { delete[] buffer; }

// One access unit in a buffer of its own, as the video receive thread
// posts it.
NativeClientVideoFrameEvent* unitEvent(const std::string& unit) {
    char* buffer = new char[unit.size() + 1];
    std::memcpy(buffer, unit.data(), unit.size());
    buffer[unit.size()] = 0;
    return new NativeClientVideoFrameEvent(NativeClientVideoFrameEvent::Buffer(buffer, freeUnit),
                                           static_cast<std::int32_t>(unit.size()));
}

// Registers the decoder kinds as start-up does, every kind but one
// switched off in the settings.
void registerOnly(const std::string& kind) {
    DecoderRegistrationConfig config;
    config.settings.readBool = [kind](const std::string& key, bool defaultValue) {
        return key == "Client.Decoder." + kind + ".enabled" ? defaultValue : false;
    };
    StreamDecoder::registerDecoders(config);
}

class VideoPath : public testing::TestWithParam<PathCase> {
protected:
    void TearDown() override {
        decoder.reset();
        canvas.reset();
        {
            ScopedOwnerLock guard(canvasRegistryLock);
            for (auto& entry : canvasRegistry) delete entry.second;
            canvasRegistry.clear();
        }
        decoderRegistry.clear();
        StreamDecoder::clearSelectionCache();
        StreamDecoderLibAV::freeRetiredResources();
    }

    TempDir folder;
    ServerSide server;
    StreamStatistics statistics;
    std::unique_ptr<ClientGLWidget> canvas;
    std::unique_ptr<NativeDecoder> decoder;
};

TEST_P(VideoPath, WindowShowsFfmpegsPictureOfTheLastUnit) {
    const PathCase& c = GetParam();
    const std::string stream = folder.file("screen.h264");
    const std::string decoded = folder.file("screen.rgb24");
    ASSERT_TRUE(runFfmpeg("-f lavfi -i \"color=black:size=" + std::to_string(c.width) + "x" +
                          std::to_string(c.height) + ":rate=25," + pattern() + "\" -frames:v " +
                          std::to_string(c.frames) + " " + c.encoding + " -f h264 '" + stream + "'"));
    ASSERT_TRUE(runFfmpeg("-i '" + stream + "' -f rawvideo -pix_fmt rgb24 '" + decoded + "'"));
    RgbPictures reference;
    reference.width = c.width;
    reference.height = c.height;
    reference.bytes = readTextFile(decoded);
    const std::vector<std::string> units = accessUnits(readTextFile(stream));
    ASSERT_EQ(units.size(), static_cast<std::size_t>(c.frames));
    ASSERT_EQ(reference.count(), units.size());

    registerOnly(c.decoderKind);
    ASSERT_TRUE(std::any_of(decoderRegistry.begin(), decoderRegistry.end(),
                            [&](const StreamDecoderRegistration& row) { return row.name == c.decoderKind; }))
        << c.decoderKind << " not available";

    // A screen window as the web side makes it: shown, its GL state set up
    // with the render settings, registered under the screen's id.
    clientOpenGLRenderMode.set(c.quads ? "quads" : "normal");
    clientHwColorConversion.set(c.gpuConversion);
    clientParallelDecoding.set(true);
    canvas = std::make_unique<ClientGLWidget>(false);
    canvas->resize(c.window);
    canvas->show();
    ASSERT_TRUE(waitUntil([&] { return canvas->isValid() && canvas->size() == c.window; }));
    canvas->setViewport(c.viewport.x(), c.viewport.y(), c.viewport.width(), c.viewport.height());
    canvas->setCanvasId(SCREEN);
    ASSERT_TRUE(addCanvas(canvas.get()));

    decoder.reset(new NativeDecoder(&server, SCREEN, &statistics, "Session 1", c.spec, c.width, c.height));
    decoder->start(0);
    ASSERT_EQ(decoder->canvas(), canvas.get());
    ASSERT_TRUE(canvas->decoderAttached);
    ASSERT_NE(decoder->streamDecoder(), nullptr);
    EXPECT_EQ(decoder->streamDecoder()->name, c.decoderKind);
    EXPECT_EQ(decoder->colorConvThread() != nullptr, c.conversionThread);

    // One unit at a time, the next once the window has the picture of the
    // last; the GUI thread repaints meanwhile as it does in the client.
    for (std::size_t i = 0; i < units.size(); ++i) {
        ASSERT_TRUE(decoder->postEvent(unitEvent(units[i])));
        ASSERT_TRUE(waitUntil([&] { return canvas->presented() >= static_cast<int>(i + 1); }, WAIT_MS))
            << "unit " << i << " not presented";
    }
    processEventsFor(50);
    EXPECT_EQ(canvas->presented(), static_cast<int>(units.size()));
    EXPECT_GT(canvas->updateRequests(), 0);
    EXPECT_EQ(canvas->lastFrameSize(), QSize(c.width, c.height));

    const VideoFrame* drawn = canvas->frameInSlot(1 - canvas->nextWriteSlot());
    ASSERT_NE(drawn, nullptr);
    EXPECT_EQ(colorFormatName(drawn->colorFormat()), colorFormatName(c.drawnFormat));
    EXPECT_EQ(drawn->allocator == &avFrameAllocator, c.maker == Maker::Ffmpeg);
    EXPECT_EQ(drawn->allocator == &decodedFrameAllocator, c.maker == Maker::Pool);

    const QImage image = canvas->grabFramebuffer();
    ASSERT_EQ(image.size(), c.window);
    const Comparison result = compare(image, c.viewport, reference, reference.count() - 1);
    // Most of the picture is flat and changes from picture to picture: a
    // misplaced, stale or missing picture cannot pass for a match.
    EXPECT_GT(result.points, c.viewport.width() * c.viewport.height() / (SAMPLE_STEP * SAMPLE_STEP) / 3);
    EXPECT_GT(result.telling, result.points * 9 / 10);
    EXPECT_EQ(result.mismatches, 0) << result.first << " (" << result.points << " points, worst "
                                    << result.worst << ")";
    RecordProperty("samplePoints", result.points);
    RecordProperty("worstDifference", result.worst);
    // Outside the viewport the window keeps its clear colour.
    if (c.viewport.x() > 0) {
        const QRgb outside = image.pixel(c.viewport.x() / 2, image.height() / 2);
        EXPECT_GE(std::min({qRed(outside), qGreen(outside), qBlue(outside)}), 255 - TOLERANCE);
    }

    // As the session ends a screen: stop, take the canvas back, delete.
    decoder->stopEventLoop();
    EXPECT_EQ(decoder->takeCanvas(), canvas.get());
    decoder.reset();
    EXPECT_FALSE(canvas->decoderAttached);
    EXPECT_EQ(canvas->frameInSlot(0), nullptr);
    EXPECT_EQ(canvas->frameInSlot(1), nullptr);
    // Nothing went wrong that the server connection would hear about.
    EXPECT_EQ(server.queuedEvents(), 0);
}

INSTANTIATE_TEST_SUITE_P(Streams, VideoPath, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<PathCase>& info) { return std::string(info.param.name); });

} // namespace
