// The decoder thread fed with real H.264 streams made by ffmpeg, presenting
// into a recording canvas: every picture equals ffmpeg's own decode, in
// order, on the path the canvas and the parallel-decoding setting choose;
// set-up failures and lost synchronisation reach the server connection;
// buffers and frames always go back.
#include "CanvasRegistry.h"
#include "ClientSettings.h"
#include "ColorFormat.h"
#include "DecoderFixtures.h"
#include "FfmpegLoader.h"
#include "LogCapture.h"
#include "NativeClientColorConvThread.h"
#include "NativeClientDecoder.h"
#include "NativeClientDecoderOutOfSyncEvent.h"
#include "NativeClientErrorEvent.h"
#include "NativeClientVideoFrameEvent.h"
#include "QorCanvasListEntry.h"
#include "StreamDecoder.h"
#include "StreamDecoderLibAV.h"
#include "StreamStatistics.h"
#include "TestStreams.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

using namespace qor;

namespace {

constexpr int SCREEN = 0;
constexpr int WAIT_MS = 60000;

std::atomic<int> freedBuffers{0};
void countingFree(char* buffer) {
    ++freedBuffers;
    delete[] buffer;
}

void expectPicturesEqual(const std::vector<std::vector<std::uint8_t>>& pictures,
                         const std::vector<std::uint8_t>& reference) {
    std::size_t offset = 0;
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        ASSERT_LE(offset + pictures[i].size(), reference.size()) << "picture " << i;
        EXPECT_TRUE(std::equal(pictures[i].begin(), pictures[i].end(), reference.begin() + offset))
            << "picture " << i << " differs from ffmpeg's";
        offset += pictures[i].size();
    }
    EXPECT_EQ(offset, reference.size()) << "pictures missing";
}

// Counts the stages a decoder reports, per stage.
class StageCounter : public DecoderStageObserver {
public:
    void stageReached(Stage stage) override { ++counts[static_cast<int>(stage)]; }
    int count(Stage stage) const { return counts[static_cast<int>(stage)]; }
    std::atomic<int> counts[4] = {};
};

class DecoderThread : public ::testing::Test {
protected:
    void SetUp() override {
        freedBuffers = 0;
        clientParallelDecoding.set(true);
        useDecoder("OpenH264");
    }

    void TearDown() override {
        decoder.reset();
        {
            ScopedOwnerLock guard(canvasRegistryLock);
            for (auto& entry : canvasRegistry) delete entry.second;
            canvasRegistry.clear();
        }
        decoderRegistry.clear();
        StreamDecoder::clearSelectionCache();
        StreamDecoderLibAV::freeRetiredResources();
    }

    // The only registry row: that decoder kind for every stream, YUV420p out.
    void useDecoder(const std::string& name) {
        decoderRegistry.clear();
        StreamDecoder::clearSelectionCache();
        for (const VideoEncodingSpec& spec : {VideoEncodingSpec{0, 0, 8}, VideoEncodingSpec{3, 0, 8}}) {
            decoderRegistry.push_back({name, spec, ColorFormat::YUV420P, true, true, 10});
        }
    }

    void startDecoder(const VideoEncodingSpec& spec = {3, 0, 8}) {
        decoder.reset(new NativeDecoder(&sink, SCREEN, &statistics, "Session 1", spec, 320, 240));
        decoder->start(0);
    }

    void post(const std::vector<std::uint8_t>& unit) {
        char* buffer = new char[unit.size() + 1];
        std::memcpy(buffer, unit.data(), unit.size());
        buffer[unit.size()] = 0;
        while (decoder->queueLength() > 600) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        decoder->postEvent(new NativeClientVideoFrameEvent(NativeClientVideoFrameEvent::Buffer(buffer, countingFree),
                                                           static_cast<std::int32_t>(unit.size())));
    }

    // Until the decoder has taken that many units (counted in the given
    // statistics, else the fixture's).
    void waitForUnitsTaken(int count, StreamStatistics* of = nullptr) {
        StreamStatistics& counted = of != nullptr ? *of : statistics;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
        while (counted.snapshot().frameCount < count && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ASSERT_EQ(counted.snapshot().frameCount, count);
    }

    // As the session does it: stop the loop, take the canvas, delete.
    QorCanvas* shutDown() {
        decoder->stopEventLoop();
        QorCanvas* canvas = decoder->takeCanvas();
        decoder.reset();
        return canvas;
    }

    LogCapture log{"debug"};
    EventSink sink;
    StreamStatistics statistics;
    std::unique_ptr<NativeDecoder> decoder;
};

} // namespace

TEST_F(DecoderThread, EveryPresentedPictureEqualsFfmpegsOnItsPath) {
    const std::set<int> yuvCanvas{ColorFormat::YUV420P};
    const std::set<int> rgbCanvas{ColorFormat::RGB24};
    struct Case {
        const char* stream;
        const char* decoderKind;
        VideoEncodingSpec spec;
        std::set<int> canvas;
        bool parallel;
        const char* reference;  // "name.yuv420p", "name.rgb24" or computed "name.yuv420p>rgb"
        const char* presenter;  // thread prefix that presents
    } cases[] = {
        {"baseline.h264", "OpenH264", {0, 0, 8}, yuvCanvas, true, "baseline.yuv420p", "Decoder_"},
        {"high.h264", "OpenH264", {3, 0, 8}, yuvCanvas, false, "high.yuv420p", "Decoder_"},
        {"high.h264", "LibAVH264", {3, 0, 8}, yuvCanvas, true, "high.yuv420p", "Decoder_"},
        {"baseline.h264", "OpenH264", {0, 0, 8}, rgbCanvas, true, "baseline.yuv420p>rgb", "RecodeThread"},
        {"high.h264", "OpenH264", {3, 0, 8}, rgbCanvas, true, "high.yuv420p>rgb", "RecodeThread"},
        {"high.h264", "OpenH264", {3, 0, 8}, rgbCanvas, false, "high.yuv420p>rgb", "Decoder_"},
        {"baseline.h264", "OpenH264", {0, 0, 8}, rgbCanvas, false, "baseline.yuv420p>rgb", "Decoder_"},
        // Ten-bit pictures of a decoder whose announced output the canvas
        // draws: no conversion thread exists, so each converts inline.
        {"high10.h264", "LibAVH264", {3, 0, 8}, {ColorFormat::YUV420P, ColorFormat::RGB24}, true, "high10.rgb24",
         "Decoder_"},
    };
    for (const Case& c : cases) {
        const std::string label = std::string(c.stream) + " by " + c.decoderKind + " on " +
                                  (c.canvas.count(ColorFormat::YUV420P) ? "YUV" : "RGB") + " canvas, parallel " +
                                  (c.parallel ? "on" : "off");
        SCOPED_TRACE(label);
        if (std::string(c.decoderKind) == "LibAVH264") {
            ASSERT_TRUE(ensureLibav());
        }
        useDecoder(c.decoderKind);
        clientParallelDecoding.set(c.parallel);
        RecordingCanvas canvas(c.canvas, SCREEN);
        addCanvas(&canvas);
        StreamStatistics caseStatistics;
        decoder.reset(new NativeDecoder(&sink, SCREEN, &caseStatistics, "Session 1", c.spec, 320, 240));
        StageCounter stages;
        decoder->setStageObserver(&stages);
        decoder->start(0);
        ASSERT_TRUE(canvas.decoderAttached);
        EXPECT_EQ(decoder->colorConvThread() != nullptr, std::string(c.presenter) == "RecodeThread");

        const auto units = readAccessUnits(c.stream);
        freedBuffers = 0;
        for (const auto& unit : units) post(unit);
        ASSERT_TRUE(canvas.waitForFrames(units.size(), WAIT_MS));
        EXPECT_EQ(shutDown(), &canvas);

        std::string reference = c.reference;
        const bool toRgb = reference.size() > 4 && reference.substr(reference.size() - 4) == ">rgb";
        if (toRgb) {
            expectPicturesEqual(canvas.pictures, rgbReference(reference.substr(0, reference.size() - 4), 320, 240));
        } else {
            expectPicturesEqual(canvas.pictures, readBinaryFile(testStreamPath(reference)));
        }
        for (const std::string& presenter : canvas.presenters) EXPECT_EQ(presenter.rfind(c.presenter, 0), 0u) << presenter;
        EXPECT_EQ(canvas.refreshes, 1);
        EXPECT_EQ(canvas.resets, 1);
        EXPECT_EQ(canvas.nullFrames, 0);
        EXPECT_FALSE(canvas.decoderAttached);
        EXPECT_EQ(freedBuffers, static_cast<int>(units.size()));
        // Every pooled frame the canvas had is back in the pool.
        for (const VideoFrame* frame : canvas.pooledFramesSeen) EXPECT_TRUE(inFramePool(frame));

        const StreamStatistics::Snapshot s = caseStatistics.snapshot();
        EXPECT_EQ(s.frameCount, static_cast<int>(units.size()));
        EXPECT_GE(s.decodeAverage, 1);
        // The conversion thread times its conversions; an inline conversion
        // counts as decode time.
        EXPECT_EQ(s.conversionAverage >= 1, std::string(c.presenter) == "RecodeThread");
        EXPECT_EQ(caseStatistics.intervalCount + caseStatistics.lastIntervalCount > 0, true);
        EXPECT_EQ(sink.queuedEvents(), 0);
        EXPECT_EQ(log.count("Received unhandled event"), 0);
        using Stage = DecoderStageObserver::Stage;
        const int converted = c.canvas.count(ColorFormat::YUV420P) && std::string(c.stream) != "high10.h264"
                                  ? 0
                                  : static_cast<int>(units.size());
        EXPECT_EQ(stages.count(Stage::DECODE_START), static_cast<int>(units.size()));
        EXPECT_EQ(stages.count(Stage::DECODE_DONE), static_cast<int>(units.size()));
        EXPECT_EQ(stages.count(Stage::NO_PICTURE), 0);
        EXPECT_EQ(stages.count(Stage::CONVERSION_DONE), converted);
    }
}

// B-frames through the decoder thread, on each path to the canvas: the
// canvas gets every picture in display order, the ones the stream decoder
// holds back when the decoder is stopped last, each once.
TEST_F(DecoderThread, BFramePicturesReachTheCanvasInDisplayOrder) {
    struct Case {
        const char* decoderKind;
        std::set<int> canvas;
        bool parallel;
        const char* presenter;
    } cases[] = {
        {"OpenH264", {ColorFormat::YUV420P}, true, "Decoder_"},
        {"LibAVH264", {ColorFormat::YUV420P}, true, "Decoder_"},
        // Held pictures come after the conversion thread has stopped:
        // converted on the decoder thread.
        {"OpenH264", {ColorFormat::RGB24}, true, "RecodeThread"},
        {"OpenH264", {ColorFormat::RGB24}, false, "Decoder_"},
    };
    const auto units = readAccessUnits("bpyramid.h264");
    for (const Case& c : cases) {
        const bool rgb = c.canvas.count(ColorFormat::RGB24) != 0;
        SCOPED_TRACE(std::string(c.decoderKind) + (rgb ? " on RGB canvas" : " on YUV canvas") + ", parallel " +
                     (c.parallel ? "on" : "off"));
        if (std::string(c.decoderKind) == "LibAVH264") {
            ASSERT_TRUE(ensureLibav());
        }
        useDecoder(c.decoderKind);
        clientParallelDecoding.set(c.parallel);
        RecordingCanvas canvas(c.canvas, SCREEN);
        addCanvas(&canvas);
        StreamStatistics caseStatistics;
        decoder.reset(new NativeDecoder(&sink, SCREEN, &caseStatistics, "Session 1", {3, 0, 8}, 320, 240));
        decoder->start(0);
        freedBuffers = 0;
        for (const auto& unit : units) post(unit);
        // Two pictures wait for ones that never come...
        ASSERT_TRUE(canvas.waitForFrames(units.size() - 2, WAIT_MS));
        waitForUnitsTaken(static_cast<int>(units.size()), &caseStatistics);
        EXPECT_EQ(canvas.frameCount(), units.size() - 2);
        const std::string name = decoder->name();
        // ...until the stream ends with the decoder.
        EXPECT_EQ(shutDown(), &canvas);
        expectPicturesEqual(canvas.pictures, rgb ? rgbReference("bpyramid.yuv420p", 320, 240)
                                                 : readBinaryFile(testStreamPath("bpyramid.yuv420p")));
        ASSERT_EQ(canvas.presenters.size(), units.size());
        for (std::size_t i = 0; i + 2 < units.size(); ++i)
            EXPECT_EQ(canvas.presenters[i].rfind(c.presenter, 0), 0u) << canvas.presenters[i];
        EXPECT_EQ(canvas.presenters.back(), name);
        EXPECT_TRUE(log.contains(name + ": Handed out 2 held pictures at the end of the stream"));
        EXPECT_EQ(canvas.resets, 1);
        EXPECT_EQ(freedBuffers, static_cast<int>(units.size()));
        for (const VideoFrame* frame : canvas.pooledFramesSeen) EXPECT_TRUE(inFramePool(frame));
        ScopedOwnerLock guard(canvasRegistryLock);
        canvasRegistry.clear();
    }
}

// Lost sync ends the stream for the client: the pictures held of it are on
// the canvas before the resync is asked for, and the stream the server then
// starts anew (at its next IDR picture) follows them, every picture once.
TEST_F(DecoderThread, HeldPicturesComeBeforeTheResync) {
    const auto units = readAccessUnits("bpyramid.h264");
    const std::vector<std::uint8_t> garbage(300, 0xa5);
    for (const char* kind : {"OpenH264", "LibAVH264"}) {
        SCOPED_TRACE(kind);
        if (std::string(kind) == "LibAVH264") {
            ASSERT_TRUE(ensureLibav());
        }
        useDecoder(kind);
        RecordingCanvas canvas({ColorFormat::YUV420P}, SCREEN);
        addCanvas(&canvas);
        StreamStatistics caseStatistics;
        decoder.reset(new NativeDecoder(&sink, SCREEN, &caseStatistics, "Session 1", {3, 0, 8}, 320, 240));
        decoder->start(0);
        // The first twelve units are the first IDR picture's group.
        for (std::size_t i = 0; i < 12; ++i) post(units[i]);
        for (int i = 0; i <= NativeDecoder::RESYNC_AFTER_FAILURES; ++i) post(garbage);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
        while (sink.queuedEvents() == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ASSERT_EQ(sink.queuedEvents(), 1);
        EXPECT_EQ(canvas.frameCount(), 12u);
        for (std::size_t i = 12; i < units.size(); ++i) post(units[i]);
        ASSERT_TRUE(canvas.waitForFrames(units.size() - 2, WAIT_MS));
        waitForUnitsTaken(static_cast<int>(units.size()) + NativeDecoder::RESYNC_AFTER_FAILURES + 1, &caseStatistics);
        EXPECT_EQ(shutDown(), &canvas);
        expectPicturesEqual(canvas.pictures, readBinaryFile(testStreamPath("bpyramid.yuv420p")));
        const std::vector<Poco::AutoPtr<BaseEvent>> events = sink.drain();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_NE(dynamic_cast<const NativeClientDecoderOutOfSyncEvent*>(events[0].get()), nullptr);
        ScopedOwnerLock guard(canvasRegistryLock);
        canvasRegistry.clear();
    }
}

TEST_F(DecoderThread, SetUpLogsItsChoicesAndNamesDecodersInOrder) {
    RecordingCanvas canvas({ColorFormat::RGB24}, SCREEN);
    addCanvas(&canvas);
    const std::int32_t before = NativeDecoder::createdDecoders();
    startDecoder();
    const std::string name = "Decoder_" + std::to_string(before + 1);
    EXPECT_EQ(decoder->name(), name);
    NativeDecoder other(&sink, 1, &statistics, "Session 2, display 1", {3, 0, 8}, 320, 240);
    EXPECT_EQ(other.name(), "Decoder_" + std::to_string(before + 2));
    ASSERT_NE(decoder->colorConvThread(), nullptr);
    EXPECT_EQ(decoder->colorConvThread()->name(), "RecodeThread");
    shutDown();
    for (const std::string& line : std::vector<std::string>{
             name + ": Created decoder for stream type 'H264_HIGH, YUV420p, 8 bits', session Session 1",
             name + ": Initializing decoder 0, stream type 'H264_HIGH, YUV420p, 8 bits'",
             name + ": Loaded decoder OpenH264/YUV420p/H264_HIGH",
             name + ": Color format of 'OpenH264', 'YUV420p', not supported by canvas, using conversion",
             name + ": Started recode thread RecodeThread",
             "RecodeThread: Exit main loop",
             name + ": Exit main loop",
             name + ": Deleted decoder",
         }) {
        EXPECT_TRUE(log.contains(line)) << line;
    }
}

TEST_F(DecoderThread, SetUpWaitsForTheCanvasToBeRegistered) {
    RecordingCanvas canvas({ColorFormat::YUV420P}, SCREEN);
    std::thread gui([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        addCanvas(&canvas);
    });
    startDecoder();
    gui.join();
    EXPECT_EQ(decoder->canvas(), &canvas);
    EXPECT_TRUE(canvas.decoderAttached);
    EXPECT_EQ(sink.queuedEvents(), 0);
    EXPECT_EQ(shutDown(), &canvas);
}

TEST_F(DecoderThread, FailedSetUpTellsTheServerConnection) {
    struct Case {
        const char* label;
        bool registerCanvas;
        bool emptyRegistry;
        bool ffmpegDecoderWithoutFfmpeg;
        const char* critical;
    } cases[] = {
        {"no suitable decoder", true, true, false,
         ": Can't load suitable decoder for stream type \"H264_HIGH, YUV420p, 8 bits\""},
        {"decoder that cannot start", true, false, true, ": Can't initialize decoder \"LibAVH264\""},
        // Last: the registry's wait of 10 s.
        {"no canvas", false, false, false, ": Can't retrieve canvas for session \"0\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.ffmpegDecoderWithoutFfmpeg) {
            // FFmpeg is loaded once per process; this test runs in its own.
            if (ffmpegApi.avcodec_send_packet != nullptr) continue;
            useDecoder("LibAVH264");
        } else {
            useDecoder("OpenH264");
        }
        if (c.emptyRegistry) decoderRegistry.clear();
        RecordingCanvas canvas({ColorFormat::YUV420P}, SCREEN);
        if (c.registerCanvas) addCanvas(&canvas);
        log.clear();
        startDecoder();
        const std::string name = decoder->name();
        const std::vector<Poco::AutoPtr<BaseEvent>> events = sink.drain();
        ASSERT_EQ(events.size(), 1u);
        auto* error = dynamic_cast<const NativeClientErrorEvent*>(events[0].get());
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->message, "Decoder init failed");
        EXPECT_EQ(error->errorCode, 0);
        EXPECT_EQ(error->screen, SCREEN);
        EXPECT_TRUE(log.contains(name + c.critical)) << c.critical;
        EXPECT_TRUE(log.contains(name + ": Init of decoder failed"));
        EXPECT_FALSE(canvas.decoderAttached);
        // Units that still arrive are never decoded, and their buffers freed.
        freedBuffers = 0;
        post(readAccessUnits("baseline.h264")[0]);
        QorCanvas* back = shutDown();
        EXPECT_EQ(back, c.registerCanvas ? &canvas : nullptr);
        EXPECT_EQ(freedBuffers, 1);
        EXPECT_EQ(canvas.frameCount(), 0u);
        EXPECT_EQ(statistics.snapshot().frameCount, 0);
        ScopedOwnerLock guard(canvasRegistryLock);
        for (auto& entry : canvasRegistry) delete entry.second;
        canvasRegistry.clear();
    }
}

TEST_F(DecoderThread, OutOfSyncOncePerRunOfSeventeenRejectedUnits) {
    // G: a unit no decoder takes; I: the stream's first unit (parameter sets
    // and a key frame), which always decodes.
    struct Case {
        std::string units;
        int reports;
    } cases[] = {
        {std::string(16, 'G'), 0},
        {std::string(17, 'G'), 1},
        {std::string(33, 'G'), 1},
        {std::string(34, 'G'), 2},
        {std::string(16, 'G') + "I" + std::string(16, 'G'), 0},
        {std::string(16, 'G') + "I" + std::string(17, 'G'), 1},
        {"I" + std::string(17, 'G') + "I" + std::string(17, 'G') + "I", 2},
    };
    const std::vector<std::uint8_t> key = readAccessUnits("baseline.h264")[0];
    const std::vector<std::uint8_t> garbage(300, 0xa5);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.units);
        RecordingCanvas canvas({ColorFormat::YUV420P}, SCREEN);
        addCanvas(&canvas);
        StreamStatistics caseStatistics;
        decoder.reset(new NativeDecoder(&sink, SCREEN, &caseStatistics, "Session 1", {0, 0, 8}, 320, 240));
        decoder->start(0);
        freedBuffers = 0;
        for (char unit : c.units) post(unit == 'I' ? key : garbage);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
        while (caseStatistics.snapshot().frameCount < static_cast<int>(c.units.size()) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        shutDown();
        int reports = 0;
        for (const Poco::AutoPtr<BaseEvent>& event : sink.drain()) {
            auto* outOfSync = dynamic_cast<const NativeClientDecoderOutOfSyncEvent*>(event.get());
            ASSERT_NE(outOfSync, nullptr);
            EXPECT_EQ(outOfSync->screen, SCREEN);
            ++reports;
        }
        EXPECT_EQ(reports, c.reports);
        // A unit without a picture shows nothing.
        const auto keys = static_cast<std::size_t>(std::count(c.units.begin(), c.units.end(), 'I'));
        EXPECT_EQ(canvas.frameCount(), keys);
        EXPECT_EQ(freedBuffers, static_cast<int>(c.units.size()));
        EXPECT_EQ(caseStatistics.snapshot().frameCount, static_cast<int>(c.units.size()));
        ScopedOwnerLock guard(canvasRegistryLock);
        for (auto& entry : canvasRegistry) delete entry.second;
        canvasRegistry.clear();
    }
}

TEST_F(DecoderThread, QueuedUnitsAndFramesGoBackWhenTheDecoderIsDeleted) {
    // Conversion on its own thread, so that frames wait in its queue too.
    RecordingCanvas canvas({ColorFormat::RGB24}, SCREEN);
    addCanvas(&canvas);
    startDecoder();
    const auto units = readAccessUnits("high.h264");
    int posted = 0;
    for (int round = 0; round < 20; ++round) {
        for (const auto& unit : units) {
            post(unit);
            ++posted;
        }
    }
    // Stopped while units and frames are still queued.
    shutDown();
    EXPECT_EQ(freedBuffers, posted);
    for (const VideoFrame* frame : canvas.pooledFramesSeen) EXPECT_TRUE(inFramePool(frame));
}

TEST_F(DecoderThread, ProgressLineEvery2500UnitsCoversTheUnitsSinceTheLast) {
    RecordingCanvas canvas({ColorFormat::YUV420P}, SCREEN);
    addCanvas(&canvas);
    startDecoder({0, 0, 8});
    const auto units = readAccessUnits("baseline.h264");
    const std::string name = decoder->name();
    int posted = 0;
    while (posted < 5000) post(units[posted++ % units.size()]);
    waitForUnitsTaken(5000);
    shutDown();
    EXPECT_EQ(log.count(name + ": Decoded frame no 2500, avg decode time "), 1);
    EXPECT_EQ(log.count(name + ": Decoded frame no 5000, avg decode time "), 1);
    EXPECT_EQ(log.count(": Decoded frame no "), 2);
    // Each line's minimum and maximum are those since the previous line.
    for (const std::string& text : log.texts()) {
        if (text.find(": Decoded frame no ") == std::string::npos) continue;
        EXPECT_NE(text.find("ms, min/max "), std::string::npos) << text;
        EXPECT_NE(text.find("ms , queue len "), std::string::npos) << text;
        EXPECT_EQ(text.find("2147483647"), std::string::npos) << text;
    }
    EXPECT_EQ(statistics.decodeTime.min, RunningStatistic::NO_MINIMUM);
}

TEST_F(DecoderThread, OtherEventsAreLoggedAndDropped) {
    RecordingCanvas canvas({ColorFormat::RGB24}, SCREEN);
    addCanvas(&canvas);
    startDecoder();
    ASSERT_NE(decoder->colorConvThread(), nullptr);
    decoder->postEvent(new NativeClientDecoderOutOfSyncEvent(3));
    decoder->colorConvThread()->postEvent(new NativeClientErrorEvent("x", 0, 0));
    ASSERT_TRUE(log.waitFor("NativeClientDecoder.cpp at line ", WAIT_MS));
    ASSERT_TRUE(log.waitFor("NativeClientColorConvThread.cpp at line ", WAIT_MS));
    EXPECT_TRUE(log.contains(", value 2"));
    EXPECT_TRUE(log.contains(", value 4"));
    for (const std::string& text : log.texts()) {
        if (text.find("Received unhandled event in ") != std::string::npos) {
            EXPECT_EQ(text.find("Received"), 0u) << text;
        }
    }
    // Both threads go on with their work.
    post(readAccessUnits("high.h264")[0]);
    EXPECT_TRUE(canvas.waitForFrames(1, WAIT_MS));
    EXPECT_EQ(canvas.presenters[0], "RecodeThread");
    shutDown();
}
