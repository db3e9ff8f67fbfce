#include "VideoFrame.h"

#include "ColorFormat.h"

#include <limits>

namespace qor {

int VideoFrame::rowsPerLine(int) const { return 1; }

int VideoFrame::planeRowBytes(int index) const {
    return canonicalLineSize(colorFormat(), width(), index);
}

int VideoFrame::planeLines(int index) const {
    const int rows = rowsPerLine(index);
    return rows <= 1 ? height() : static_cast<int>((static_cast<long long>(height()) + rows - 1) / rows);
}

bool VideoFrame::hasCanonicalLayout() const {
    const int format = colorFormat();
    if (format != ColorFormat::RGB24 && format != ColorFormat::GBRP && format != ColorFormat::YUV420P &&
        format != ColorFormat::NV12) {
        return false;
    }
    for (int k = 0; k < 3; ++k) {
        const int expected = canonicalLineSize(format, width(), k);
        if (lineSize(k) != expected) return false;
        if (expected != 0 && rowsPerLine(k) != canonicalRowsPerLine(format, k)) return false;
    }
    return true;
}

bool frameSizeFits(int width, int height) {
    if (width < 1 || height < 1 || width > MAX_FRAME_DIMENSION || height > MAX_FRAME_DIMENSION) return false;
    // The largest layout: four bytes per pixel in one plane, plus the
    // allocator's slack, must be counted in an int.
    const long long bytes = 4LL * width * height;
    return bytes <= std::numeric_limits<int>::max() - 64;
}

void releaseVideoFrame(VideoFrame** frame) {
    if (frame == nullptr || *frame == nullptr) return;
    (*frame)->allocator->release(frame);
    *frame = nullptr;
}

} // namespace qor
