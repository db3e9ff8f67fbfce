#include "AVFrameAllocator.h"
#include "AvVideoFrame.h"
#include "ColorFormat.h"
#include "FfmpegLoader.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

using qor::AvVideoFrame;
using qor::VideoFrame;

class AvFrames : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(ensureLibav()); }
};

TEST_F(AvFrames, UnfilledFrameReportsItsAllocation) {
    VideoFrame* frame = avFrameAllocator.allocate(ColorFormat::YUV420P, 640, 360);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->width(), 640);
    EXPECT_EQ(frame->height(), 360);
    EXPECT_EQ(frame->plane(0), nullptr);
    EXPECT_EQ(frame->lineSize(0), 0);
    EXPECT_EQ(frame->colorFormat(), ColorFormat::NONE);
    EXPECT_EQ(frame->planeRowBytes(0), 0);
    qor::releaseVideoFrame(&frame);
    EXPECT_EQ(frame, nullptr);
    qor::releaseVideoFrame(&frame);
}

TEST_F(AvFrames, PixelFormatsRowsAndVisibleBytes) {
    struct Case {
        AVPixelFormat format;
        int code;
        int rows[3];
        int rowBytes[3];
    } cases[] = {
        {AV_PIX_FMT_YUV420P, 0, {1, 2, 2}, {321, 161, 161}},
        {AV_PIX_FMT_YUV444P, 6, {1, 1, 1}, {321, 321, 321}},
        {AV_PIX_FMT_GBRP, 160, {1, 1, 1}, {321, 321, 321}},
        {AV_PIX_FMT_RGB24, 125, {1, 1, 1}, {963, 0, 0}},
        {AV_PIX_FMT_RGBA, 147, {1, 1, 1}, {1284, 0, 0}},
        {AV_PIX_FMT_YUV420P10LE, 99999, {1, 2, 2}, {642, 322, 322}},
        {AV_PIX_FMT_YUVJ420P, 99999, {1, 2, 2}, {321, 161, 161}},
        {AV_PIX_FMT_NV21, 99999, {1, 1, 1}, {0, 0, 0}},
    };
    for (const Case& c : cases) {
        VideoFrame* frame = avFrameAllocator.allocate(0, 321, 241);
        static_cast<AvVideoFrame*>(frame)->avFrame->format = c.format;
        EXPECT_EQ(frame->colorFormat(), c.code) << c.format;
        for (int k = 0; k < 3; ++k) {
            EXPECT_EQ(frame->rowsPerLine(k), c.rows[k]) << c.format << " plane " << k;
            EXPECT_EQ(frame->planeRowBytes(k), c.rowBytes[k]) << c.format << " plane " << k;
        }
        qor::releaseVideoFrame(&frame);
    }
}

TEST_F(AvFrames, ReleaseFreesAnOwnedImage) {
    VideoFrame* frame = avFrameAllocator.allocate(ColorFormat::RGB24, 33, 7);
    AVFrame* av = static_cast<AvVideoFrame*>(frame)->avFrame;
    ASSERT_GE(ffmpegApi.av_image_alloc(av->data, av->linesize, 33, 7, AV_PIX_FMT_RGB24, 32), 0);
    av->format = AV_PIX_FMT_RGB24;
    static_cast<AvVideoFrame*>(frame)->ownsImage = true;
    EXPECT_FALSE(frame->hasCanonicalLayout());
    // LeakSanitizer reports the image if release does not free it.
    qor::releaseVideoFrame(&frame);
    EXPECT_EQ(frame, nullptr);
}

TEST_F(AvFrames, DestroyedWithoutReleaseIsLogged) {
    LogCapture log;
    AVFrame* av = ffmpegApi.av_frame_alloc();
    {
        AvVideoFrame frame(&avFrameAllocator);
        frame.avFrame = av;
    }
    EXPECT_TRUE(log.contains("AvVideoFrame not properly deinitialized"));
    ffmpegApi.av_frame_free(&av);
}
