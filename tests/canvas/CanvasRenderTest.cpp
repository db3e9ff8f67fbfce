// Screenshots of a canvas fed frames of every colour format it draws: the
// colours of flat pictures and of a test picture with block-aligned regions
// and a one-block edge column and row, at even, odd and wide sizes, in both
// drawing modes, with GPU colour conversion on and off.
#include "CanvasTestSupport.h"
#include "ColorFormat.h"
#include "LogCapture.h"
#include "TestFrames.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int widgetHeight = 150;
constexpr int tolerance = 6;

struct FormatCase {
    int code;
    const char* name;
    bool rgbFamily;
};

const FormatCase formats[] = {
    {ColorFormat::YUV420P, "YUV420p", false}, {ColorFormat::YUV444P, "YUV444p", false},
    {ColorFormat::NV12, "NV12", false},       {ColorFormat::RGB24, "RGB24", true},
    {ColorFormat::RGBA, "RGBA", true},        {ColorFormat::GBRP, "GBRP", false},
    {ColorFormat::RGB10, "RGB10", true},
};

struct SizeCase {
    int width, height;
    // Viewport in GL window coordinates (origin bottom left).
    int vx, vy, vw, vh;
};

const SizeCase sizes[] = {
    {64, 32, 20, 10, 64, 32},    // even, one texel per pixel
    {33, 17, 20, 10, 33, 17},    // odd: rows not a multiple of 4 bytes, lone chroma column
    {1366, 40, 20, 10, 160, 40}, // a common laptop width, scaled down
    {15, 9, 30, 20, 120, 72},    // odd and scaled up
};

const Rgb flatColors[] = {{255, 255, 255}, {0, 0, 0}, {200, 30, 40}, {20, 180, 60}, {30, 40, 220}, {128, 128, 128}};

Picture testPicture(int w, int h) {
    const int edgeX = w % 2 ? w - 1 : w - 2;
    const int edgeY = h % 2 ? h - 1 : h - 2;
    const int halfX = (w / 2) & ~1;
    const int halfY = (h / 2) & ~1;
    return [=](int x, int y) -> Rgb {
        if (x >= edgeX) return {230, 220, 20};
        if (y >= edgeY) return {200, 40, 200};
        if (y < halfY) return x < halfX ? Rgb{220, 30, 30} : Rgb{30, 200, 40};
        return x < halfX ? Rgb{30, 40, 220} : Rgb{120, 120, 120};
    };
}

bool near(QRgb pixel, const Rgb& expected) {
    return std::abs(qRed(pixel) - expected.r) <= tolerance && std::abs(qGreen(pixel) - expected.g) <= tolerance &&
           std::abs(qBlue(pixel) - expected.b) <= tolerance;
}

bool subsampled(int code) { return code == ColorFormat::YUV420P || code == ColorFormat::NV12; }

bool sameRgb(const Rgb& a, const Rgb& b) { return a.r == b.r && a.g == b.g && a.b == b.b; }

// Compares the viewport pixels with the frame pixels they sample. When the
// picture is scaled, pixels whose neighbours sample another colour are
// skipped (rounding of the texture coordinate may pick either side there);
// unscaled, every pixel must match, except that odd-sized 4:2:0 chroma
// (ceil(w / 2) samples under one shared texture coordinate) may land one
// block off next to a block boundary inside the picture; the lone last
// column and row must still carry their own colour.
int countMismatches(const QImage& image, const SizeCase& size, const Picture& picture, bool subsampled,
                    std::string& first) {
    const bool scaled = size.vw != size.width || size.vh != size.height;
    const bool oddChroma = subsampled && (size.width % 2 == 1 || size.height % 2 == 1);
    auto sampled = [&](int i, int j) {
        return picture(static_cast<int>((i + 0.5) * size.width / size.vw),
                       static_cast<int>((j + 0.5) * size.height / size.vh));
    };
    int mismatches = 0;
    for (int j = 0; j < size.vh; ++j) {
        for (int i = 0; i < size.vw; ++i) {
            const int fx = static_cast<int>((i + 0.5) * size.width / size.vw);
            const int fy = static_cast<int>((j + 0.5) * size.height / size.vh);
            const Rgb expected = picture(fx, fy);
            bool boundary = false;
            for (int dy = -1; dy <= 1 && scaled && !boundary; ++dy) {
                for (int dx = -1; dx <= 1 && !boundary; ++dx) {
                    const int ni = i + dx;
                    const int nj = j + dy;
                    if (ni < 0 || nj < 0 || ni >= size.vw || nj >= size.vh) continue;
                    boundary = !sameRgb(sampled(ni, nj), expected);
                }
            }
            // Along the lone last column (row) only the other axis counts.
            const int spanX = fx == size.width - 1 ? 0 : 1;
            const int spanY = fy == size.height - 1 ? 0 : 1;
            for (int dy = -spanY; dy <= spanY && oddChroma && !boundary; ++dy) {
                for (int dx = -spanX; dx <= spanX && !boundary; ++dx) {
                    const int nx = fx + dx;
                    const int ny = fy + dy;
                    if (nx < 0 || ny < 0 || nx >= size.width || ny >= size.height) continue;
                    boundary = !sameRgb(picture(nx, ny), expected);
                }
            }
            if (boundary) continue;
            const int ix = size.vx + i;
            const int iy = widgetHeight - size.vy - size.vh + j;
            const QRgb pixel = image.pixel(ix, iy);
            if (!near(pixel, expected)) {
                if (mismatches++ == 0) {
                    first = "frame pixel " + std::to_string(fx) + "," + std::to_string(fy) + " expected " +
                            std::to_string(expected.r) + "/" + std::to_string(expected.g) + "/" +
                            std::to_string(expected.b) + " got " + std::to_string(qRed(pixel)) + "/" +
                            std::to_string(qGreen(pixel)) + "/" + std::to_string(qBlue(pixel));
                }
            }
        }
    }
    return mismatches;
}

struct Mode {
    bool quads;
    bool hwColorConversion;
};

class CanvasRenderTest : public testing::TestWithParam<Mode> {
protected:
    void SetUp() override { canvas = makeCanvas(GetParam().quads, GetParam().hwColorConversion); }
    void TearDown() override {
        canvas.reset();
        EXPECT_EQ(allocator.outstanding, 0);
    }

    // Blanks the screen (queued clear step) so each case starts from the
    // clear colour.
    void clearCanvas() {
        canvas->clearScreen();
        ASSERT_TRUE(waitUntil([&] { return canvas->frameInSlot(0) == nullptr && canvas->frameInSlot(1) == nullptr &&
                                           !canvas->isTransparent(); }));
    }

    void checkCase(const FormatCase& format, const SizeCase& size, const Picture& picture, const std::string& what) {
        SCOPED_TRACE(std::string(format.name) + " " + std::to_string(size.width) + "x" + std::to_string(size.height) +
                     " " + what);
        clearCanvas();
        canvas->setViewport(size.vx, size.vy, size.vw, size.vh);
        const QImage image =
            presentAndGrab(*canvas, allocator.make(format.code, size.width, size.height, picture, 0));
        ASSERT_EQ(image.height(), widgetHeight);
        // Outside the viewport: the clear colour.
        EXPECT_TRUE(near(image.pixel(2, 2), {255, 255, 255}));
        EXPECT_TRUE(near(image.pixel(199, 149), {255, 255, 255}));
        const bool drawable = format.rgbFamily || GetParam().hwColorConversion;
        EXPECT_EQ(canvas->supportsColorFormat(format.code),
                  format.code == ColorFormat::RGB24 || (drawable && !format.rgbFamily));
        if (!drawable) {
            // No program for the format: nothing is drawn.
            EXPECT_TRUE(near(image.pixel(size.vx + 1, widgetHeight - size.vy - 2), {255, 255, 255}));
            return;
        }
        std::string first;
        EXPECT_EQ(countMismatches(image, size, picture, subsampled(format.code), first), 0) << first;
    }

    CountingAllocator allocator;
    std::unique_ptr<ClientGLWidget> canvas;
};

TEST_P(CanvasRenderTest, FlatColoursOfEveryFormat) {
    for (const FormatCase& format : formats) {
        for (const Rgb& color : flatColors) {
            checkCase(format, sizes[1], [color](int, int) { return color; },
                      "flat " + std::to_string(color.r) + "/" + std::to_string(color.g) + "/" +
                          std::to_string(color.b));
        }
    }
}

TEST_P(CanvasRenderTest, TestPictureOfEveryFormatAndSize) {
    for (const FormatCase& format : formats) {
        for (const SizeCase& size : sizes) checkCase(format, size, testPicture(size.width, size.height), "picture");
    }
}

TEST_P(CanvasRenderTest, PaddedLinesAreDrawnWithoutACopy) {
    const SizeCase& size = sizes[1];
    const Picture picture = testPicture(size.width, size.height);
    for (const FormatCase& format : formats) {
        if (!format.rgbFamily && !GetParam().hwColorConversion) continue;
        SCOPED_TRACE(format.name);
        clearCanvas();
        canvas->setViewport(size.vx, size.vy, size.vw, size.vh);
        const int releasedBefore = allocator.released;
        TestFrame* frame = allocator.make(format.code, size.width, size.height, picture, 12);
        const QImage image = presentAndGrab(*canvas, frame);
        // The frame itself sits in the slot: no copy was made.
        EXPECT_EQ(canvas->frameInSlot(1 - canvas->nextWriteSlot()), frame);
        EXPECT_EQ(allocator.released, releasedBefore);
        std::string first;
        EXPECT_EQ(countMismatches(image, size, picture, subsampled(format.code), first), 0) << first;
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, CanvasRenderTest,
                         testing::Values(Mode{false, true}, Mode{true, true}, Mode{false, false}, Mode{true, false}),
                         [](const testing::TestParamInfo<Mode>& info) {
                             return std::string(info.param.quads ? "Quads" : "TriangleFan") +
                                    (info.param.hwColorConversion ? "GpuConversion" : "NoGpuConversion");
                         });

TEST(CanvasRenderDetails, FrameOfAnUndrawableFormatIsDroppedAtOnce) {
    LogCapture log("debug");
    auto canvas = makeCanvas(false, true);
    CountingAllocator allocator;
    canvas->setViewport(0, 0, 200, 150);
    TestFrame* shown = allocator.make(ColorFormat::RGB24, 8, 8, [](int, int) { return Rgb{200, 30, 40}; });
    presentAndGrab(*canvas, shown);
    auto* unknown = new TestFrame(&allocator, ColorFormat::NONE, 8, 8, 0);
    ++allocator.outstanding;
    const QImage image = presentAndGrab(*canvas, unknown);
    EXPECT_EQ(allocator.outstanding, 1);
    EXPECT_EQ(canvas->frameInSlot(1 - canvas->nextWriteSlot()), shown);
    EXPECT_TRUE(near(image.pixel(100, 75), {200, 30, 40}));
    EXPECT_TRUE(log.contains("Unsupported colorscheme in copy 99999"));
    canvas.reset();
    EXPECT_EQ(allocator.outstanding, 0);
}

TEST(CanvasRenderDetails, NothingIsDrawnBeforeTheDecoderAttaches) {
    auto canvas = makeCanvas(false, true);
    {
        ScopedOwnerLock guard(canvas->frameLocks[0]);
        canvas->decoderAttached = false;
    }
    CountingAllocator allocator;
    canvas->setViewport(0, 0, 200, 150);
    const QImage image =
        presentAndGrab(*canvas, allocator.make(ColorFormat::RGB24, 8, 8, [](int, int) { return Rgb{0, 0, 0}; }));
    EXPECT_TRUE(near(image.pixel(100, 75), {255, 255, 255}));
    EXPECT_FALSE(canvas->isTransparent());
    canvas->resetFrames();
    EXPECT_EQ(allocator.outstanding, 0);
}

TEST(CanvasRenderDetails, RepaintWithoutNewFrameKeepsThePicture) {
    auto canvas = makeCanvas(false, true);
    CountingAllocator allocator;
    canvas->setViewport(0, 0, 200, 150);
    presentAndGrab(*canvas, allocator.make(ColorFormat::RGB24, 8, 8, [](int, int) { return Rgb{200, 30, 40}; }));
    canvas->presentFrame(allocator.make(ColorFormat::YUV420P, 8, 8, [](int, int) { return Rgb{30, 40, 220}; }));
    // Two grabs in a row: the second paint draws into a framebuffer that
    // was not cleared in between.
    canvas->grabFramebuffer();
    const QImage image = canvas->grabFramebuffer();
    EXPECT_TRUE(near(image.pixel(100, 75), {30, 40, 220}));
    canvas.reset();
    EXPECT_EQ(allocator.outstanding, 0);
}

} // namespace
