#include "DecodedVideoFrame.h"

#include "ColorFormat.h"
#include "DecoderLog.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace qor {

namespace {
constexpr int planeSlack = 32;

bool hasLayout(int colorFormat) { return canonicalLineSize(colorFormat, 2, 0) != 0; }
} // namespace

DecodedVideoFrame::DecodedVideoFrame(VideoFrameAllocator* owner, int colorFormat) : colorFormat_(colorFormat) {
    allocator = owner;
}

DecodedVideoFrame::~DecodedVideoFrame() {
    for (std::uint8_t* buffer : planes_) std::free(buffer);
}

int DecodedVideoFrame::rowsPerLine(int index) const {
    return canonicalRowsPerLine(colorFormat_, index);
}

void DecodedVideoFrame::computeLineSizes() {
    if (!hasLayout(colorFormat_)) return;
    for (int k = 0; k < 3; ++k) lineSizes_[k] = canonicalLineSize(colorFormat_, width_, k);
}

int DecodedVideoFrame::planeBytes(int index) const {
    const long long bytes = static_cast<long long>(lineSizes_[index]) * planeLines(index);
    if (bytes < 0 || bytes > std::numeric_limits<int>::max() - planeSlack) return -1;
    return static_cast<int>(bytes);
}

bool DecodedVideoFrame::growPlanes(int size0, int size1, int size2) {
    const int sizes[3] = {size0, size1, size2};
    bool grown = true;
    for (int k = 0; k < 3; ++k) {
        const int size = sizes[k];
        if (k > 0 && size == 0) continue;
        if (size < 0 || size > std::numeric_limits<int>::max() - planeSlack) {
            grown = false;
            continue;
        }
        if (planes_[k] != nullptr && capacities_[k] >= size) continue;
        void* buffer = std::realloc(planes_[k], static_cast<std::size_t>(size) + planeSlack);
        if (buffer == nullptr) {
            grown = false;
            continue;
        }
        planes_[k] = static_cast<std::uint8_t*>(buffer);
        capacities_[k] = size + planeSlack;
    }
    return grown;
}

bool DecodedVideoFrame::growToLayout() {
    const int sizes[3] = {planeBytes(0), planeBytes(1), planeBytes(2)};
    // A layout that cannot be counted gets no memory for any plane.
    if (sizes[0] < 0 || sizes[1] < 0 || sizes[2] < 0) return false;
    return growPlanes(sizes[0], sizes[1], sizes[2]);
}

bool DecodedVideoFrame::copyFrom(const VideoFrame& source) {
    colorFormat_ = source.colorFormat();
    width_ = source.width();
    height_ = source.height();
    computeLineSizes();
    switch (colorFormat_) {
    case ColorFormat::RGB24:
    case ColorFormat::RGBA:
        return copyPlanesFrom(source, 1);
    case ColorFormat::NV12:
        return copyPlanesFrom(source, 2);
    case ColorFormat::YUV420P:
    case ColorFormat::YUV444P:
    case ColorFormat::GBRP:
        return copyPlanesFrom(source, 3);
    default:
        decoderCritical("Unsupported colorscheme in copy " + std::to_string(colorFormat_));
        return false;
    }
}

// Copies line by line. A source line may cover more image rows than a line
// of this frame (or fewer): each line of this frame takes the source line
// that covers its first image row. Nothing is read past the source's lines
// or written past this frame's.
bool DecodedVideoFrame::copyPlanesFrom(const VideoFrame& source, int planeCount) {
    if (!growToLayout()) {
        decoderCritical("Out of memory copying a " + std::to_string(width_) + "x" + std::to_string(height_) +
                        " frame");
        return false;
    }
    for (int k = 0; k < planeCount; ++k) {
        const std::uint8_t* from = source.plane(k);
        std::uint8_t* to = planes_[k];
        if (from == nullptr) return false;
        const int destLine = lineSizes_[k];
        const int sourceLine = source.lineSize(k);
        const int lines = planeLines(k);
        const int destRows = rowsPerLine(k);
        const int sourceRows = std::max(1, source.rowsPerLine(k));
        const int sourceLines = source.planeLines(k);
        if (sourceLine == destLine && destRows == sourceRows) {
            std::memcpy(to, from, static_cast<std::size_t>(destLine) * lines);
            continue;
        }
        const int bytes = std::min(destLine, std::abs(sourceLine));
        for (int line = 0; line < lines; ++line) {
            const int sourceIndex = std::min(line * destRows / sourceRows, sourceLines - 1);
            std::memcpy(to + static_cast<std::ptrdiff_t>(line) * destLine,
                        from + static_cast<std::ptrdiff_t>(sourceIndex) * sourceLine, bytes);
        }
    }
    return true;
}

} // namespace qor
