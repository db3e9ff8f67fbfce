#include "AvVideoFrame.h"

#include "ColorFormat.h"
#include "DecoderLog.h"
#include "FfmpegLoader.h"

namespace qor {

namespace {

// Geometry of the FFmpeg pixel formats the H.264 decoder can produce:
// bytes per sample, chroma subsampling shifts and number of planes.
struct PixelLayout {
    int bytesPerSample;
    int chromaShiftX;
    int chromaShiftY;
    int planes;
};

bool pixelLayout(int format, PixelLayout& layout) {
    switch (format) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P: layout = {1, 1, 1, 3}; return true;
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUVJ422P: layout = {1, 1, 0, 3}; return true;
    case AV_PIX_FMT_YUV444P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_GBRP: layout = {1, 0, 0, 3}; return true;
    case AV_PIX_FMT_GRAY8: layout = {1, 0, 0, 1}; return true;
    case AV_PIX_FMT_YUV420P9LE:
    case AV_PIX_FMT_YUV420P10LE: layout = {2, 1, 1, 3}; return true;
    case AV_PIX_FMT_YUV422P9LE:
    case AV_PIX_FMT_YUV422P10LE: layout = {2, 1, 0, 3}; return true;
    case AV_PIX_FMT_YUV444P9LE:
    case AV_PIX_FMT_YUV444P10LE:
    case AV_PIX_FMT_GBRP9LE:
    case AV_PIX_FMT_GBRP10LE: layout = {2, 0, 0, 3}; return true;
    case AV_PIX_FMT_RGB24: layout = {3, 0, 0, 1}; return true;
    case AV_PIX_FMT_RGBA: layout = {4, 0, 0, 1}; return true;
    default: return false;
    }
}

} // namespace

AvVideoFrame::AvVideoFrame(VideoFrameAllocator* owner) {
    allocator = owner;
}

AvVideoFrame::~AvVideoFrame() {
    if (avFrame != nullptr) decoderCritical("AvVideoFrame not properly deinitialized");
}

std::uint8_t* AvVideoFrame::plane(int index) const {
    return avFrame != nullptr ? avFrame->data[index] : nullptr;
}

int AvVideoFrame::width() const { return avFrame != nullptr ? avFrame->width : 0; }

int AvVideoFrame::height() const { return avFrame != nullptr ? avFrame->height : 0; }

int AvVideoFrame::lineSize(int index) const { return avFrame != nullptr ? avFrame->linesize[index] : 0; }

int AvVideoFrame::pixelFormat() const { return avFrame != nullptr ? avFrame->format : -1; }

int AvVideoFrame::colorFormat() const {
    switch (pixelFormat()) {
    case AV_PIX_FMT_YUV420P: return ColorFormat::YUV420P;
    case AV_PIX_FMT_RGB24: return ColorFormat::RGB24;
    case AV_PIX_FMT_YUV444P: return ColorFormat::YUV444P;
    case AV_PIX_FMT_RGBA: return ColorFormat::RGBA;
    case AV_PIX_FMT_GBRP: return ColorFormat::GBRP;
    default: return ColorFormat::NONE;
    }
}

int AvVideoFrame::rowsPerLine(int index) const {
    PixelLayout layout;
    if (index == 0 || !pixelLayout(pixelFormat(), layout)) return 1;
    return 1 << layout.chromaShiftY;
}

int AvVideoFrame::planeRowBytes(int index) const {
    PixelLayout layout;
    if (!pixelLayout(pixelFormat(), layout) || index >= layout.planes) return 0;
    const int samples = index == 0 ? width() : -((-width()) >> layout.chromaShiftX);
    return samples * layout.bytesPerSample;
}

} // namespace qor
