#include "ColorFormat.h"
#include "DecodedFrameAllocator.h"
#include "DecodedVideoFrame.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>

using qor::DecodedVideoFrame;
using qor::VideoFrame;

namespace {

// A frame over caller-owned planes with any line sizes and rows per line,
// standing for a decoder's picture.
class ForeignFrame : public VideoFrame {
public:
    ForeignFrame(int format, int w, int h, std::vector<int> lines, std::vector<int> rows)
        : format_(format), w_(w), h_(h), lines_(std::move(lines)), rows_(std::move(rows)) {
        for (int k = 0; k < 3; ++k) {
            const int count = rows_[k] <= 1 ? h : (h + rows_[k] - 1) / rows_[k];
            data_[k].resize(static_cast<std::size_t>(lines_[k]) * count);
            for (std::size_t i = 0; i < data_[k].size(); ++i) data_[k][i] = static_cast<std::uint8_t>(i * 7 + k * 50);
        }
    }
    std::uint8_t* plane(int k) const override {
        return data_[k].empty() ? nullptr : const_cast<std::uint8_t*>(data_[k].data());
    }
    int width() const override { return w_; }
    int height() const override { return h_; }
    int lineSize(int k) const override { return lines_[k]; }
    int colorFormat() const override { return format_; }
    int rowsPerLine(int k) const override { return rows_[k]; }
    // Sample (line, column) of plane k.
    std::uint8_t at(int k, int line, int column) const { return data_[k][line * lines_[k] + column]; }

private:
    int format_, w_, h_;
    std::vector<int> lines_, rows_;
    std::vector<std::uint8_t> data_[3];
};

VideoFrame* allocate(int format, int w, int h) { return decodedFrameAllocator.allocate(format, w, h); }

} // namespace

TEST(DecodedFrameAllocator, LineSizesAndPlanesPerFormat) {
    struct Case {
        int format, w, h;
        int lines[3];
        int bytes[3];
    } cases[] = {
        {0, 1920, 1080, {1920, 960, 960}, {2073600, 518400, 518400}},
        {0, 1366, 768, {1366, 683, 683}, {1049088, 262272, 262272}},
        {0, 1918, 1080, {1918, 959, 959}, {2071440, 517860, 517860}},
        {0, 322, 242, {322, 161, 161}, {77924, 19481, 19481}},
        {0, 321, 241, {321, 161, 161}, {77361, 19481, 19481}},
        {6, 321, 241, {321, 321, 321}, {77361, 77361, 77361}},
        {160, 100, 10, {100, 100, 100}, {1000, 1000, 1000}},
        {30, 321, 241, {321, 322, 0}, {77361, 38962, 0}},
        {125, 321, 3, {963, 0, 0}, {2889, 0, 0}},
        {147, 5, 5, {20, 0, 0}, {100, 0, 0}},
        {210, 5, 5, {20, 0, 0}, {100, 0, 0}},
        {4, 5, 5, {0, 0, 0}, {0, 0, 0}},
    };
    for (const Case& c : cases) {
        VideoFrame* frame = allocate(c.format, c.w, c.h);
        auto* decoded = static_cast<DecodedVideoFrame*>(frame);
        for (int k = 0; k < 3; ++k) {
            EXPECT_EQ(frame->lineSize(k), c.lines[k]) << c.format << " " << c.w << "x" << c.h << " plane " << k;
            EXPECT_EQ(decoded->planeBytes(k), c.bytes[k]) << c.format << " " << c.w << "x" << c.h << " plane " << k;
            if (c.bytes[k] > 0) {
            EXPECT_GE(decoded->planeCapacity(k), c.bytes[k] + 32);
        }
        }
        // A fresh frame's buffers are exactly 32 bytes larger than needed.
        delete frame;
    }
}

// Sizes no frame can have: nothing overflows, no memory is asked for, and
// the allocation fails.
TEST(DecodedFrameAllocator, SizesBeyondAnIntAreRefused) {
    const int big = std::numeric_limits<int>::max();
    const std::pair<int, int> sizes[] = {{big, big}, {big, 1}, {1, big}, {46341, 46341}};
    for (const int format : {ColorFormat::YUV420P, ColorFormat::NV12, ColorFormat::RGB24, ColorFormat::RGBA,
                             ColorFormat::GBRP, ColorFormat::YUV444P}) {
        for (const auto& size : sizes) {
            EXPECT_EQ(allocate(format, size.first, size.second), nullptr)
                << format << " " << size.first << "x" << size.second;
        }
    }
    EXPECT_EQ(canonicalLineSize(ColorFormat::RGB24, big, 0), -1);
    EXPECT_EQ(canonicalLineSize(ColorFormat::YUV420P, big, 1), 1073741824);
    EXPECT_EQ(canonicalLineSize(ColorFormat::NV12, -4, 0), -1);
}

TEST(VideoFrame, SizesAFrameCanHave) {
    struct Case {
        int w, h;
        bool fits;
    } cases[] = {
        {1, 1, true},         {1920, 1080, true},  {16384, 16384, true}, {16385, 1, false},
        {1, 16385, false},    {0, 100, false},     {100, 0, false},      {-5, 100, false},
        {46341, 46341, false}, {2147483647, 2147483647, false},
    };
    for (const Case& c : cases) EXPECT_EQ(qor::frameSizeFits(c.w, c.h), c.fits) << c.w << "x" << c.h;
}

TEST(DecodedFrameAllocator, PoolReusesTheNewestFrameOfTheFormat) {
    VideoFrame* yuv = allocate(ColorFormat::YUV420P, 64, 64);
    VideoFrame* rgb = allocate(ColorFormat::RGB24, 64, 64);
    const int pooled = qor::DecodedFrameAllocator::pooledFrames();
    qor::releaseVideoFrame(&yuv);
    EXPECT_EQ(yuv, nullptr);
    VideoFrame* keepRgb = rgb;
    qor::releaseVideoFrame(&rgb);
    EXPECT_EQ(qor::DecodedFrameAllocator::poolHead(), keepRgb);

    VideoFrame* again = allocate(ColorFormat::YUV420P, 32, 16);
    EXPECT_EQ(again->width(), 32);
    EXPECT_EQ(again->lineSize(1), 16);
    EXPECT_EQ(qor::DecodedFrameAllocator::poolHead(), keepRgb);
    EXPECT_EQ(qor::DecodedFrameAllocator::pooledFrames(), pooled + 1);
    // Smaller pictures keep the larger buffers.
    EXPECT_EQ(static_cast<DecodedVideoFrame*>(again)->planeCapacity(0), 64 * 64 + 32);
    EXPECT_EQ(again->nextFree, nullptr);

    VideoFrame* none = nullptr;
    qor::releaseVideoFrame(&none);
    qor::releaseVideoFrame(&again);
}

TEST(DecodedFrameAllocator, ManyFramesInFlightAllStayPooled) {
    const int before = qor::DecodedFrameAllocator::pooledFrames();
    std::vector<VideoFrame*> frames;
    // A format no other test uses: every frame is new.
    for (int i = 0; i < 40; ++i) frames.push_back(allocate(5, 16, 16));
    for (VideoFrame*& frame : frames) qor::releaseVideoFrame(&frame);
    EXPECT_EQ(qor::DecodedFrameAllocator::pooledFrames(), before + 40);
}

TEST(VideoFrame, CanonicalLayout) {
    struct Case {
        int format, w;
        std::vector<int> lines, rows;
        bool canonical;
    } cases[] = {
        {125, 10, {30, 0, 0}, {1, 1, 1}, true},
        {125, 10, {32, 0, 0}, {1, 1, 1}, false},
        {160, 10, {10, 10, 10}, {1, 1, 1}, true},
        {0, 10, {10, 5, 5}, {1, 2, 2}, true},
        {0, 11, {11, 6, 6}, {1, 2, 2}, true},
        {0, 10, {10, 5, 5}, {1, 1, 1}, false},
        {0, 12, {12, 3, 3}, {1, 1, 1}, false},
        {0, 10, {16, 8, 8}, {1, 2, 2}, false},
        {30, 10, {10, 10, 0}, {1, 2, 1}, true},
        {6, 10, {10, 10, 10}, {1, 1, 1}, false},
        {147, 10, {40, 0, 0}, {1, 1, 1}, false},
        {210, 10, {40, 0, 0}, {1, 1, 1}, false},
    };
    for (const Case& c : cases) {
        ForeignFrame frame(c.format, c.w, 4, c.lines, c.rows);
        EXPECT_EQ(frame.hasCanonicalLayout(), c.canonical) << c.format << " " << c.lines[0] << "," << c.lines[1];
    }
    VideoFrame* decoded = allocate(ColorFormat::YUV420P, 1366, 768);
    EXPECT_TRUE(decoded->hasCanonicalLayout());
    qor::releaseVideoFrame(&decoded);
}

// A canonical copy of a decoder's picture: every visible byte taken from the
// right place, nothing written past a plane (the slack keeps its marks).
TEST(DecodedVideoFrame, CopyFromForeignLayouts) {
    struct Case {
        int format, w, h;
        std::vector<int> lines, rows;
    } cases[] = {
        {0, 1366, 8, {1408, 704, 704}, {1, 2, 2}},
        {0, 1918, 5, {1920, 960, 960}, {1, 2, 2}},
        {0, 322, 6, {352, 176, 176}, {1, 2, 2}},
        {0, 321, 5, {352, 176, 176}, {1, 2, 2}},
        {0, 320, 4, {320, 160, 160}, {1, 2, 2}},
        {6, 321, 5, {352, 352, 352}, {1, 1, 1}},
        {160, 17, 3, {32, 32, 32}, {1, 1, 1}},
        {125, 321, 3, {1024, 0, 0}, {1, 1, 1}},
        {147, 7, 3, {32, 0, 0}, {1, 1, 1}},
        {30, 321, 5, {352, 352, 0}, {1, 2, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.format) + " " + std::to_string(c.w) + "x" + std::to_string(c.h));
        ForeignFrame source(c.format, c.w, c.h, c.lines, c.rows);
        DecodedVideoFrame copy(&decodedFrameAllocator, c.format);
        copy.setWidth(c.w);
        copy.setHeight(c.h);
        copy.computeLineSizes();
        ASSERT_TRUE(copy.growToLayout());
        for (int k = 0; k < 3; ++k) {
            if (copy.plane(k) != nullptr) std::memset(copy.plane(k), 0xee, copy.planeCapacity(k));
        }
        ASSERT_TRUE(copy.copyFrom(source));
        EXPECT_TRUE(copy.hasCanonicalLayout() || c.format == 6 || c.format == 147);
        for (int k = 0; k < 3; ++k) {
            const int rowBytes = copy.planeRowBytes(k);
            if (rowBytes == 0) continue;
            for (int line = 0; line < copy.planeLines(k); ++line) {
                const int sourceLine = line * copy.rowsPerLine(k) / source.rowsPerLine(k);
                for (int col = 0; col < rowBytes; ++col) {
                    ASSERT_EQ(copy.plane(k)[line * copy.lineSize(k) + col], source.at(k, sourceLine, col))
                        << "plane " << k << " line " << line << " column " << col;
                }
            }
            for (int i = copy.planeBytes(k); i < copy.planeCapacity(k); ++i) {
                ASSERT_EQ(copy.plane(k)[i], 0xee) << "written past plane " << k;
            }
        }
    }
}

TEST(DecodedVideoFrame, CopyOfAnUnsupportedFormatIsLoggedAndCopiesNothing) {
    LogCapture log;
    ForeignFrame source(210, 4, 2, {16, 0, 0}, {1, 1, 1});
    DecodedVideoFrame copy(&decodedFrameAllocator, ColorFormat::RGB24);
    EXPECT_FALSE(copy.copyFrom(source));
    EXPECT_EQ(copy.colorFormat(), 210);
    EXPECT_EQ(copy.plane(0), nullptr);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].text, "Unsupported colorscheme in copy 210");
    EXPECT_EQ(log.lines()[0].priority, 2);
}

TEST(DecodedVideoFrame, GrowPlanesNeverShrinksAndSkipsZeroSizes) {
    DecodedVideoFrame frame(&decodedFrameAllocator, 0);
    ASSERT_TRUE(frame.growPlanes(100, 0, 10));
    EXPECT_EQ(frame.planeCapacity(0), 132);
    EXPECT_EQ(frame.plane(1), nullptr);
    EXPECT_EQ(frame.planeCapacity(2), 42);
    ASSERT_TRUE(frame.growPlanes(120, 0, 5));
    EXPECT_EQ(frame.planeCapacity(0), 132);
    EXPECT_EQ(frame.planeCapacity(2), 42);
    ASSERT_TRUE(frame.growPlanes(200, 1, 5));
    EXPECT_EQ(frame.planeCapacity(0), 232);
    EXPECT_EQ(frame.planeCapacity(1), 33);
    EXPECT_FALSE(frame.growPlanes(-1, 0, 0));
    EXPECT_EQ(frame.planeCapacity(0), 232);
}
