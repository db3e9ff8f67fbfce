// What a paint loads into the textures: a new frame once, nothing for a
// repaint of the same frame (grab, expose, resize, continuous repaints),
// storage allocated again only when a plane's format or size changes, and
// pooled frames that come back at the same address with another picture
// loaded as the new frames they are.
#include "CanvasTestSupport.h"
#include "ClientSettings.h"
#include "ColorFormat.h"
#include "DecodedFrameAllocator.h"
#include "DecodedVideoFrame.h"
#include "FrameRenderer.h"
#include "FrameRenderers.h"
#include "TestFrames.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

// Stands in a family's place and counts what the canvas asks of it.
class CountingRenderer : public FrameRenderer {
public:
    explicit CountingRenderer(std::unique_ptr<FrameRenderer> inner) : inner(std::move(inner)) {}
    bool ready() const override { return inner->ready(); }
    void upload(const qor::VideoFrame& frame) override {
        ++uploads;
        inner->upload(frame);
    }
    void prepareDraw(bool quadsMode) override {
        ++draws;
        inner->prepareDraw(quadsMode);
    }

    int uploads = 0;
    int draws = 0;

private:
    std::unique_ptr<FrameRenderer> inner;
};

CountingRenderer* countRenderer(ClientGLWidget& canvas, PixelFamily family) {
    FrameRenderers* renderers = canvas.frameRenderers();
    auto counting = std::make_unique<CountingRenderer>(renderers->exchange(family, nullptr));
    CountingRenderer* watched = counting.get();
    renderers->exchange(family, std::move(counting));
    return watched;
}

bool near(QRgb pixel, const Rgb& expected) {
    constexpr int tolerance = 6;
    return std::abs(qRed(pixel) - expected.r) <= tolerance && std::abs(qGreen(pixel) - expected.g) <= tolerance &&
           std::abs(qBlue(pixel) - expected.b) <= tolerance;
}

std::string rgbText(QRgb pixel) {
    return std::to_string(qRed(pixel)) + "/" + std::to_string(qGreen(pixel)) + "/" + std::to_string(qBlue(pixel));
}

struct UploadCase {
    int code;
    PixelFamily family;
    bool quads;
};

class CanvasUploadTest : public testing::TestWithParam<UploadCase> {
protected:
    void SetUp() override {
        canvas = makeCanvas(GetParam().quads, true);
        canvas->setViewport(0, 0, 200, 150);
        counter = countRenderer(*canvas, GetParam().family);
    }
    void TearDown() override {
        clientDoubleBuffering.set(true);
        canvas.reset();
        EXPECT_EQ(allocator.outstanding, 0);
    }

    TestFrame* frame(const Rgb& colour, int width = 48, int height = 32) {
        return allocator.make(GetParam().code, width, height, [colour](int, int) { return colour; });
    }
    void expectPicture(const QImage& image, const Rgb& colour) {
        EXPECT_TRUE(near(image.pixel(100, 75), colour)) << rgbText(image.pixel(100, 75));
    }

    CountingAllocator allocator;
    std::unique_ptr<ClientGLWidget> canvas;
    CountingRenderer* counter = nullptr;
};

TEST_P(CanvasUploadTest, APaintWithoutANewFrameUploadsNothing) {
    const Rgb red{200, 30, 40};
    const Rgb blue{30, 40, 220};
    expectPicture(presentAndGrab(*canvas, frame(red)), red);
    EXPECT_EQ(counter->uploads, 1);
    const int allocations = canvas->textureAllocations();

    // Repaints of the same frame draw what the textures hold.
    expectPicture(canvas->grabFramebuffer(), red);
    canvas->update();
    processEventsFor(30);
    canvas->resize(220, 160);
    processEventsFor(30);
    canvas->resize(200, 150);
    processEventsFor(30);
    expectPicture(canvas->grabFramebuffer(), red);
    EXPECT_EQ(counter->uploads, 1);
    EXPECT_GT(counter->draws, 3);

    // Repainting continuously (no double buffering): still one upload.
    clientDoubleBuffering.set(false);
    const int drawsBefore = counter->draws;
    canvas->update();
    EXPECT_TRUE(waitUntil([&] { return counter->draws > drawsBefore + 5; }));
    clientDoubleBuffering.set(true);
    processEventsFor(30);
    EXPECT_EQ(counter->uploads, 1);

    // A new frame of the same size is loaded into the storage there is.
    expectPicture(presentAndGrab(*canvas, frame(blue)), blue);
    EXPECT_EQ(counter->uploads, 2);
    EXPECT_EQ(canvas->textureAllocations(), allocations);

    // Another size allocates again, once.
    expectPicture(presentAndGrab(*canvas, frame(red, 50, 30)), red);
    EXPECT_EQ(counter->uploads, 3);
    EXPECT_GT(canvas->textureAllocations(), allocations);
    const int resized = canvas->textureAllocations();
    expectPicture(presentAndGrab(*canvas, frame(blue, 50, 30)), blue);
    EXPECT_EQ(canvas->textureAllocations(), resized);

    // After a clear the next frame is loaded, also one of the same size.
    canvas->clearScreen();
    ASSERT_TRUE(waitUntil([&] { return canvas->frameInSlot(0) == nullptr && canvas->frameInSlot(1) == nullptr; }));
    expectPicture(presentAndGrab(*canvas, frame(red, 50, 30)), red);
    EXPECT_EQ(counter->uploads, 5);
}

// The pool hands a frame back out at the address it had: three presents
// between two paints give the address of the frame on screen to the third,
// which is a new picture all the same.
TEST_P(CanvasUploadTest, PooledFramesAtTheAddressOnScreenAreLoadedAgain) {
    const Rgb colours[] = {{200, 30, 40}, {30, 40, 220}, {20, 180, 60}};
    const int code = GetParam().code;
    const qor::VideoFrame* onScreen = nullptr;
    int reused = 0;
    constexpr int rounds = 6;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const qor::VideoFrame* last = nullptr;
        Rgb lastColour{};
        for (int i = 0; i < 3; ++i) {
            const Rgb colour = colours[(round + i) % 3];
            TestFrame* picture = allocator.make(code, 48, 32, [colour](int, int) { return colour; });
            qor::VideoFrame* pooled = decodedFrameAllocator.allocate(code, 48, 32);
            ASSERT_NE(pooled, nullptr);
            ASSERT_TRUE(static_cast<qor::DecodedVideoFrame*>(pooled)->copyFrom(*picture));
            qor::VideoFrame* given = picture;
            qor::releaseVideoFrame(&given);
            if (pooled == onScreen) ++reused;
            canvas->presentFrame(pooled);
            last = pooled;
            lastColour = colour;
        }
        expectPicture(canvas->grabFramebuffer(), lastColour);
        onScreen = last;
    }
    EXPECT_EQ(counter->uploads, rounds);
    // The case this is about did happen.
    EXPECT_GT(reused, 0);
    canvas->releaseFrames();
}

const UploadCase uploadCases[] = {
    {ColorFormat::YUV420P, PixelFamily::YUV420p, false}, {ColorFormat::NV12, PixelFamily::NV12, false},
    {ColorFormat::RGB24, PixelFamily::RGB, false},       {ColorFormat::YUV420P, PixelFamily::YUV420p, true},
    {ColorFormat::RGB24, PixelFamily::RGB, true},
};

std::string caseName(const testing::TestParamInfo<UploadCase>& info) {
    static const char* const names[] = {"YUV420p", "YUV444p", "NV12", "RGBp", "RGB"};
    return std::string(names[static_cast<int>(info.param.family)]) + (info.param.quads ? "Quads" : "TriangleFan");
}

INSTANTIATE_TEST_SUITE_P(Families, CanvasUploadTest, testing::ValuesIn(uploadCases), caseName);

} // namespace
