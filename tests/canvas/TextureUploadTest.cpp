// Which textures a frame becomes and how its lines are described to GL:
// sizes per format (4:2:0 chroma at ceil(w / 2) x ceil(h / 2)), row
// lengths of padded lines, and that no upload reads past its plane.
#include "ColorFormat.h"
#include "TestFrames.h"
#include "TextureUpload.h"

#include <gtest/gtest.h>

namespace {

struct UploadCase {
    int format;
    int width, height, padding;
    int count;
    // Texture width x height of the first and last upload.
    int firstW, firstH, lastW, lastH;
    int firstRowLength;
};

const UploadCase uploadCases[] = {
    {ColorFormat::YUV420P, 1920, 1080, 0, 3, 960, 540, 1920, 1080, 0},
    {ColorFormat::YUV420P, 1921, 1081, 0, 3, 961, 541, 1921, 1081, 0},
    {ColorFormat::YUV420P, 1366, 768, 0, 3, 683, 384, 1366, 768, 0},
    {ColorFormat::YUV420P, 1366, 768, 45, 3, 683, 384, 1366, 768, 683 + 45},
    {ColorFormat::NV12, 1920, 1080, 0, 2, 960, 540, 1920, 1080, 0},
    {ColorFormat::NV12, 33, 17, 6, 2, 17, 9, 33, 17, (34 + 6) / 2},
    {ColorFormat::YUV444P, 1366, 2, 0, 3, 1366, 2, 1366, 2, 0},
    {ColorFormat::GBRP, 7, 3, 1, 3, 7, 3, 7, 3, 8},
    {ColorFormat::RGB24, 1366, 4, 0, 1, 1366, 4, 1366, 4, 0},
    {ColorFormat::RGB24, 5, 4, 9, 1, 5, 4, 5, 4, 8},
    {ColorFormat::RGBA, 5, 4, 4, 1, 5, 4, 5, 4, 6},
    {ColorFormat::RGB10, 3, 3, 0, 1, 3, 3, 3, 3, 0},
};

TEST(TextureUpload, TexturesAndRowLayoutPerFormat) {
    CountingAllocator allocator;
    for (const UploadCase& c : uploadCases) {
        SCOPED_TRACE(colorFormatName(c.format) + " " + std::to_string(c.width) + "x" + std::to_string(c.height) +
                     " padding " + std::to_string(c.padding));
        TestFrame* frame = allocator.make(c.format, c.width, c.height, [](int, int) { return Rgb{1, 2, 3}; },
                                          c.padding);
        PlaneUpload uploads[3];
        ASSERT_EQ(TextureUpload::planeUploads(*frame, uploads), c.count);
        EXPECT_EQ(uploads[0].width, c.firstW);
        EXPECT_EQ(uploads[0].height, c.firstH);
        EXPECT_EQ(uploads[c.count - 1].width, c.lastW);
        EXPECT_EQ(uploads[c.count - 1].height, c.lastH);
        EXPECT_EQ(uploads[0].rowLength, c.firstRowLength);
        // Luma (or the packed RGB plane) goes last, on unit 0.
        EXPECT_EQ(uploads[c.count - 1].unit, 0);
        for (int i = 0; i < c.count; ++i) {
            EXPECT_EQ(uploads[i].data, frame->plane(uploads[i].plane));
            EXPECT_LE(TextureUpload::bytesRead(uploads[i]), static_cast<long long>(frame->planeSize(uploads[i].plane)))
                << "upload " << i << " reads past its plane";
        }
        EXPECT_TRUE(TextureUpload::drawableAsIs(*frame));
        qor::VideoFrame* done = frame;
        allocator.release(&done);
    }
    EXPECT_EQ(allocator.outstanding, 0);
}

TEST(TextureUpload, NinetySixtyByFiveFortyNv12ChromaIsTwoChannelSixteenBit) {
    CountingAllocator allocator;
    TestFrame* frame = allocator.make(ColorFormat::NV12, 1920, 1080, [](int, int) { return Rgb{0, 0, 0}; });
    PlaneUpload uploads[3];
    ASSERT_EQ(TextureUpload::planeUploads(*frame, uploads), 2);
    EXPECT_EQ(uploads[0].internalFormat, TextureUpload::GL_RG16_);
    EXPECT_EQ(uploads[0].format, TextureUpload::GL_RG_);
    EXPECT_EQ(uploads[0].unit, 1);
    EXPECT_EQ(uploads[1].internalFormat, TextureUpload::GL_R8_);
    qor::VideoFrame* done = frame;
    allocator.release(&done);
}

// A frame whose layout the test decides line by line.
class LayoutFrame : public qor::VideoFrame {
public:
    LayoutFrame(int format, int lineSize0, int lineSize1, int rowsPerChromaLine)
        : format_(format), lines_{lineSize0, lineSize1, lineSize1}, rows_(rowsPerChromaLine) {}
    std::uint8_t* plane(int) const override { return const_cast<std::uint8_t*>(bytes_); }
    int width() const override { return 8; }
    int height() const override { return 4; }
    int lineSize(int index) const override { return lines_[index]; }
    int colorFormat() const override { return format_; }
    int rowsPerLine(int index) const override { return index == 0 ? 1 : rows_; }

private:
    int format_;
    int lines_[3];
    int rows_;
    std::uint8_t bytes_[4] = {};
};

TEST(TextureUpload, FramesThatNeedACopyFirst) {
    struct Case {
        const char* what;
        LayoutFrame frame;
        bool drawable;
    };
    const Case cases[] = {
        {"tight 4:2:0", LayoutFrame(ColorFormat::YUV420P, 8, 4, 2), true},
        {"padded 4:2:0", LayoutFrame(ColorFormat::YUV420P, 64, 32, 2), true},
        {"luma line shorter than a row", LayoutFrame(ColorFormat::YUV420P, 7, 4, 2), false},
        {"negative line size", LayoutFrame(ColorFormat::YUV420P, -8, 4, 2), false},
        {"full-height chroma under a 4:2:0 code", LayoutFrame(ColorFormat::YUV420P, 8, 4, 1), false},
        {"NV12 chroma line of an odd byte count", LayoutFrame(ColorFormat::NV12, 8, 9, 2), false},
        {"RGB24 line not a whole number of pixels", LayoutFrame(ColorFormat::RGB24, 25, 0, 1), false},
        {"RGB24 padded to whole pixels", LayoutFrame(ColorFormat::RGB24, 27, 0, 1), true},
        {"format the canvas does not draw", LayoutFrame(ColorFormat::NONE, 8, 8, 1), false},
    };
    for (const Case& c : cases) EXPECT_EQ(TextureUpload::drawableAsIs(c.frame), c.drawable) << c.what;
}

} // namespace
