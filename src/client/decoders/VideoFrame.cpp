#include "VideoFrame.h"

#include "ColorFormat.h"

namespace qor {

int VideoFrame::rowsPerLine(int) const { return 1; }

int VideoFrame::planeRowBytes(int index) const {
    return canonicalLineSize(colorFormat(), width(), index);
}

int VideoFrame::planeLines(int index) const {
    const int rows = rowsPerLine(index);
    return rows <= 1 ? height() : (height() + rows - 1) / rows;
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

void releaseVideoFrame(VideoFrame** frame) {
    if (frame == nullptr || *frame == nullptr) return;
    (*frame)->allocator->release(frame);
    *frame = nullptr;
}

} // namespace qor
