// Handing frames from decoder threads to the GUI thread: the two slots, the
// index flip, the repaint poll, releases back to the allocator that made
// each frame, copies of layouts the painter cannot read, and presents from
// two threads while the GUI thread paints.
#include "CanvasTestSupport.h"
#include "ColorFormat.h"
#include "DecodedFrameAllocator.h"
#include "TestFrames.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

Rgb grey(int, int) { return {128, 128, 128}; }

class FrameHandOverTest : public testing::Test {
protected:
    ClientGLWidget canvas{false};
    CountingAllocator allocator;

    TestFrame* frame(int width = 16, int height = 8) {
        return allocator.make(ColorFormat::RGB24, width, height, grey);
    }
};

TEST_F(FrameHandOverTest, FirstPresentFillsSlotZeroAndFlipsTheIndex) {
    TestFrame* first = frame(20, 10);
    canvas.presentFrame(first);
    EXPECT_EQ(canvas.frameInSlot(0), first);
    EXPECT_EQ(canvas.nextWriteSlot(), 1);
    EXPECT_EQ(canvas.presented(), 1);
    EXPECT_EQ(canvas.lastFrameSize(), QSize(20, 10));
    canvas.releaseFrames();
    EXPECT_EQ(allocator.outstanding, 0);
}

TEST_F(FrameHandOverTest, ThirdPresentGivesTheFirstFrameBack) {
    TestFrame* frames[3] = {frame(), frame(), frame(32, 4)};
    canvas.presentFrame(frames[0]);
    canvas.presentFrame(frames[1]);
    EXPECT_EQ(allocator.released, 0);
    canvas.presentFrame(frames[2]);
    EXPECT_EQ(allocator.released, 1);
    EXPECT_EQ(canvas.frameInSlot(0), frames[2]);
    EXPECT_EQ(canvas.frameInSlot(1), frames[1]);
    // The painter takes the newest.
    EXPECT_EQ(canvas.frameInSlot(1 - canvas.nextWriteSlot()), frames[2]);
    EXPECT_EQ(canvas.lastFrameSize(), QSize(32, 4));
    canvas.resetFrames();
    EXPECT_EQ(allocator.outstanding, 0);
}

TEST_F(FrameHandOverTest, TenPresentsBetweenTwoTicksGiveOneRepaint) {
    processEventsFor(20);
    const int before = canvas.updateRequests();
    for (int i = 0; i < 10; ++i) canvas.presentFrame(frame());
    EXPECT_EQ(allocator.released, 8);
    ASSERT_TRUE(waitUntil([&] { return canvas.updateRequests() > before; }));
    EXPECT_EQ(canvas.updateRequests(), before + 1);
    processEventsFor(20);
    EXPECT_EQ(canvas.updateRequests(), before + 1);
    canvas.releaseFrames();
    EXPECT_EQ(allocator.outstanding, 0);
}

TEST_F(FrameHandOverTest, UnreadableLayoutIsCopiedIntoAPooledFrameAndGivenBackAtOnce) {
    // Lines shorter than a row of pixels: the painter cannot read them.
    TestFrame* odd = allocator.make(ColorFormat::YUV420P, 16, 8, grey, -1);
    canvas.presentFrame(odd);
    EXPECT_EQ(allocator.released, 1);
    qor::VideoFrame* stored = canvas.frameInSlot(0);
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->allocator, &decodedFrameAllocator);
    EXPECT_EQ(stored->colorFormat(), ColorFormat::YUV420P);
    EXPECT_EQ(stored->width(), 16);
    const int pooled = qor::DecodedFrameAllocator::pooledFrames();
    canvas.releaseFrames();
    EXPECT_EQ(qor::DecodedFrameAllocator::pooledFrames(), pooled + 1);
}

TEST_F(FrameHandOverTest, ResetDetachesTheDecoderAndEmptiesBothSlots) {
    canvas.decoderAttached = true;
    canvas.presentFrame(frame());
    canvas.presentFrame(frame());
    canvas.resetFrames();
    EXPECT_FALSE(canvas.decoderAttached);
    EXPECT_EQ(canvas.frameInSlot(0), nullptr);
    EXPECT_EQ(canvas.frameInSlot(1), nullptr);
    EXPECT_EQ(allocator.outstanding, 0);
    // A later present still fills a slot.
    canvas.presentFrame(frame());
    EXPECT_NE(canvas.frameInSlot(canvas.nextWriteSlot() == 1 ? 0 : 1), nullptr);
    canvas.releaseFrames();
    EXPECT_EQ(allocator.outstanding, 0);
}

TEST(FrameHandOverLoad, TwoPresentingThreadsWhileTheGuiPaints) {
    auto canvas = makeCanvas(false, true);
    canvas->setViewport(0, 0, 200, 150);
    CountingAllocator allocator;
    constexpr int perThread = 400;
    std::atomic<int> running{2};
    auto present = [&](int format) {
        for (int i = 0; i < perThread; ++i) {
            canvas->presentFrame(allocator.make(format, 64, 32, grey));
            if (i % 16 == 0) std::this_thread::yield();
        }
        --running;
    };
    const int updatesBefore = canvas->updateRequests();
    std::thread decoder(present, ColorFormat::YUV420P);
    std::thread converter(present, ColorFormat::RGB24);
    ASSERT_TRUE(waitUntil([&] { return running == 0; }, 120000));
    decoder.join();
    converter.join();
    EXPECT_TRUE(waitUntil([&] { return canvas->updateRequests() > updatesBefore; }));
    EXPECT_EQ(canvas->presented(), 2 * perThread);
    // Every frame but the two in the slots went back.
    EXPECT_EQ(allocator.outstanding, 2);
    EXPECT_EQ(allocator.released, 2 * perThread - 2);
    canvas->resetFrames();
    EXPECT_EQ(allocator.outstanding, 0);
}

} // namespace
