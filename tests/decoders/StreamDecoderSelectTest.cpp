#include "ColorFormat.h"
#include "FfmpegLoader.h"
#include "LogCapture.h"
#include "StreamDecoder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

using qor::StreamDecoder;
using qor::VideoEncodingSpec;

namespace {

const VideoEncodingSpec high{3, 0, 8};

StreamDecoder::FormatTest canvasOf(std::set<int> formats) {
    return [formats](int code) { return formats.count(code) != 0; };
}

class Select : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ensureLibav());
        decoderRegistry.clear();
        StreamDecoder::clearSelectionCache();
    }
    void TearDown() override { decoderRegistry.clear(); }
};

} // namespace

TEST_F(Select, PassesAndPriorities) {
    struct Row {
        const char* name;
        int output;
        bool native, converts;
        int priority;
    };
    struct Case {
        const char* label;
        std::vector<Row> rows;
        std::set<int> canvas;
        const char* name;  // null: no decoder
        int output;
    } cases[] = {
        {"higher priority wins", {{"LibAVH264", 0, true, true, 5}, {"OpenH264", 0, true, true, 3}}, {0}, "LibAVH264", 0},
        {"equal: first row wins", {{"OpenH264", 0, true, true, 3}, {"LibAVH264", 0, true, true, 3}}, {0}, "OpenH264", 0},
        {"later row with more", {{"OpenH264", 0, true, true, 3}, {"LibAVH264", 0, true, true, 4}}, {0}, "LibAVH264", 0},
        {"native beats priorities",
         {{"LibAVH264", 125, false, true, 9}, {"OpenH264", 0, true, true, 1}}, {0, 125}, "OpenH264", 0},
        {"second pass", {{"LibAVH264", 0, true, false, 5}, {"OpenH264", 125, false, true, 1}}, {125}, "OpenH264", 125},
        {"third pass replaces with more",
         {{"LibAVH264", 0, true, true, 5}, {"OpenH264", 125, false, true, 1}}, {147}, "LibAVH264", 0},
        {"third pass keeps equal",
         {{"OpenH264", 125, false, true, 1}, {"LibAVH264", 0, true, true, 1}}, {125}, "OpenH264", 125},
        {"nothing converts", {{"OpenH264", 0, true, false, 5}}, {125}, nullptr, 0},
        {"empty registry", {}, {0, 125}, nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        decoderRegistry.clear();
        StreamDecoder::clearSelectionCache();
        for (const Row& r : c.rows) StreamDecoder::addRegistration({r.name, high, r.output, r.native, r.converts, r.priority});
        decoderRegistry.push_back({"OpenH264", {6, 6, 8}, 6, true, true, 99});
        std::unique_ptr<StreamDecoder> decoder = StreamDecoder::select(canvasOf(c.canvas), high, 320, 240);
        if (c.name == nullptr) {
            EXPECT_EQ(decoder, nullptr);
            continue;
        }
        ASSERT_TRUE(decoder);
        EXPECT_EQ(decoder->name, c.name);
        EXPECT_EQ(decoder->outputColorFormat, c.output);
        EXPECT_EQ(decoder->width, 320);
    }
}

TEST_F(Select, SearchLogThenCache) {
    StreamDecoder::addRegistration({"OpenH264", high, 0, true, true, 3});
    LogCapture log;
    std::unique_ptr<StreamDecoder> first = StreamDecoder::select(canvasOf({0}), high, 320, 240);
    ASSERT_TRUE(first);
    const std::vector<std::string> expected = {
        "StreamDecoder: Searching for optimal decoder, 1 registered",
        "Decoder registered OpenH264, (native cf), out format YUV420p, priority 3 (H264_HIGH, YUV420p, 8 bits)",
        "StreamDecoder: Checking encoder native color: H264_HIGH, YUV420p, 8 bits",
        "Decoder candidate OpenH264, (native cf), out format YUV420p, priority 3 (H264_HIGH, YUV420p, 8 bits)",
        "Decoder pre-selected OpenH264, (native cf), out format YUV420p, priority 3 (H264_HIGH, YUV420p, 8 bits)",
        "Using decoder OpenH264, out format YUV420p",
    };
    EXPECT_EQ(log.texts(), expected);

    // Same specification, a canvas that cannot draw the output, another
    // size: the remembered choice, no search.
    log.clear();
    std::unique_ptr<StreamDecoder> second = StreamDecoder::select(canvasOf({}), high, 64, 48);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->width, 64);
    EXPECT_EQ(log.texts()[0], "StreamDecoder: Using pre-selected encoder 'OpenH264', 'YUV420p'");
    EXPECT_FALSE(log.contains("Searching"));

    // Another specification searches again.
    log.clear();
    EXPECT_EQ(StreamDecoder::select(canvasOf({0}), {0, 0, 8}, 64, 48), nullptr);
    EXPECT_TRUE(log.contains("StreamDecoder: Searching for optimal decoder, 1 registered"));
    EXPECT_TRUE(log.contains("StreamDecoder: Checking external software color conversion"));
}

// Decoder threads of several screens choose at once, for two streams with
// different choices: each gets the kind and output of its own stream.
TEST_F(Select, ConcurrentSelectionsNeverMixChoices) {
    const VideoEncodingSpec yuv444{6, 6, 8};
    StreamDecoder::addRegistration({"OpenH264", high, 0, true, true, 3});
    StreamDecoder::addRegistration({"LibAVH264", yuv444, 6, true, true, 5});
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 150; ++i) {
                const bool first = (i + t) % 2 == 0;
                std::unique_ptr<StreamDecoder> d =
                    StreamDecoder::select(canvasOf({0, 6}), first ? high : yuv444, 16, 16);
                if (!d || d->name != (first ? "OpenH264" : "LibAVH264") || d->outputColorFormat != (first ? 0 : 6)) {
                    ++wrong;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}
