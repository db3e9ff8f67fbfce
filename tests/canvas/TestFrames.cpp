#include "TestFrames.h"

#include "ColorFormat.h"

#include <algorithm>
#include <cmath>

namespace {

bool chroma420(int format) { return format == ColorFormat::YUV420P || format == ColorFormat::NV12; }

int bytesPerPixel(int format, int plane) {
    switch (format) {
    case ColorFormat::RGB24: return plane == 0 ? 3 : 0;
    case ColorFormat::RGBA:
    case ColorFormat::RGB10: return plane == 0 ? 4 : 0;
    case ColorFormat::NV12: return plane == 0 ? 1 : plane == 1 ? 2 : 0;
    default: return 1;
    }
}

int clampByte(double value) { return std::max(0, std::min(255, static_cast<int>(std::lround(value)))); }

} // namespace

void rgbToYuv(const Rgb& rgb, int& y, int& u, int& v) {
    const double r = rgb.r / 255.0;
    const double g = rgb.g / 255.0;
    const double b = rgb.b / 255.0;
    y = clampByte(16 + 65.481 * r + 128.553 * g + 24.966 * b);
    u = clampByte(128 - 37.797 * r - 74.203 * g + 112.0 * b);
    v = clampByte(128 + 112.0 * r - 93.786 * g - 18.214 * b);
}

TestFrame::TestFrame(qor::VideoFrameAllocator* owner, int colorFormat, int width, int height, int padding)
    : colorFormat_(colorFormat), width_(width), height_(height) {
    allocator = owner;
    const int planes = colorFormat == ColorFormat::NV12 ? 2 : bytesPerPixel(colorFormat, 1) == 0 ? 1 : 3;
    for (int k = 0; k < planes; ++k) {
        const int samples = k > 0 && chroma420(colorFormat) ? (width + 1) / 2 : width;
        const int lines = k > 0 && chroma420(colorFormat) ? (height + 1) / 2 : height;
        lineSizes_[k] = samples * bytesPerPixel(colorFormat, k) + padding;
        // Lines shorter than a row (negative padding) overlap; the slack
        // keeps the last row's pixels inside the buffer.
        const int slack = padding < 0 ? -padding * lines : 0;
        planes_[k].assign(static_cast<std::size_t>(lineSizes_[k]) * lines + slack, 0xEE);
    }
}

std::uint8_t* TestFrame::plane(int index) const { return planes_[index].empty() ? nullptr : planes_[index].data(); }

int TestFrame::rowsPerLine(int index) const { return index > 0 && chroma420(colorFormat_) ? 2 : 1; }

void TestFrame::fill(const Picture& picture) {
    for (int y = 0; y < height_; ++y) {
        for (int x = 0; x < width_; ++x) {
            const Rgb rgb = picture(x, y);
            std::uint8_t* p0 = planes_[0].data() + static_cast<std::size_t>(y) * lineSizes_[0];
            int Y, U, V;
            rgbToYuv(rgb, Y, U, V);
            switch (colorFormat_) {
            case ColorFormat::RGB24:
                p0[3 * x] = rgb.r;
                p0[3 * x + 1] = rgb.g;
                p0[3 * x + 2] = rgb.b;
                break;
            case ColorFormat::RGBA:
                p0[4 * x] = rgb.r;
                p0[4 * x + 1] = rgb.g;
                p0[4 * x + 2] = rgb.b;
                p0[4 * x + 3] = 255;
                break;
            case ColorFormat::RGB10: {
                const std::uint32_t r = rgb.r * 1023 / 255;
                const std::uint32_t g = rgb.g * 1023 / 255;
                const std::uint32_t b = rgb.b * 1023 / 255;
                const std::uint32_t packed = r | (g << 10) | (b << 20) | (3u << 30);
                for (int i = 0; i < 4; ++i) p0[4 * x + i] = static_cast<std::uint8_t>(packed >> (8 * i));
                break;
            }
            case ColorFormat::GBRP:
                p0[x] = rgb.g;
                planes_[1][static_cast<std::size_t>(y) * lineSizes_[1] + x] = rgb.b;
                planes_[2][static_cast<std::size_t>(y) * lineSizes_[2] + x] = rgb.r;
                break;
            case ColorFormat::YUV444P:
                p0[x] = Y;
                planes_[1][static_cast<std::size_t>(y) * lineSizes_[1] + x] = U;
                planes_[2][static_cast<std::size_t>(y) * lineSizes_[2] + x] = V;
                break;
            case ColorFormat::YUV420P:
                p0[x] = Y;
                // Chroma of the block's top-left pixel.
                if (x % 2 == 0 && y % 2 == 0) {
                    planes_[1][static_cast<std::size_t>(y / 2) * lineSizes_[1] + x / 2] = U;
                    planes_[2][static_cast<std::size_t>(y / 2) * lineSizes_[2] + x / 2] = V;
                }
                break;
            case ColorFormat::NV12:
                p0[x] = Y;
                if (x % 2 == 0 && y % 2 == 0) {
                    planes_[1][static_cast<std::size_t>(y / 2) * lineSizes_[1] + x] = U;
                    planes_[1][static_cast<std::size_t>(y / 2) * lineSizes_[1] + x + 1] = V;
                }
                break;
            default:
                break;
            }
        }
    }
}

qor::VideoFrame* CountingAllocator::newFrame(int colorFormat) { return allocate(colorFormat, 0, 0); }

void CountingAllocator::release(qor::VideoFrame** frame) {
    if (frame == nullptr || *frame == nullptr) return;
    delete *frame;
    *frame = nullptr;
    --outstanding;
    ++released;
}

qor::VideoFrame* CountingAllocator::allocate(int colorFormat, int width, int height) {
    ++outstanding;
    return new TestFrame(this, colorFormat, width, height, 0);
}

TestFrame* CountingAllocator::make(int colorFormat, int width, int height, const Picture& picture, int padding) {
    ++outstanding;
    auto* frame = new TestFrame(this, colorFormat, width, height, padding);
    frame->fill(picture);
    return frame;
}
