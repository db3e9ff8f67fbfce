#include "StreamDecoderLibAV.h"

#include "AVFrameAllocator.h"
#include "AvVideoFrame.h"
#include "ColorFormat.h"
#include "DecoderLog.h"
#include "FfmpegLoader.h"
#include "Utilities.h"

#include <Poco/Mutex.h>

#include <algorithm>
#include <cstdio>

namespace qor {

namespace {

Poco::Mutex ffmpegDecoderLock;

// FFmpeg state of destroyed decoders, newest first; each record is freed once
// a later decoder is destroyed more than two seconds after it.
struct RetiredResources {
    AVPacket* packet;
    AVCodecContext* codecContext;
    SwsContext* scaleContext;
    std::int64_t retiredAt;
    RetiredResources* next;
};
RetiredResources* retiredFfmpegResources = nullptr;

struct ColorConvStats {
    double longest = 0;
    double shortest = 2147483647.0;
    double average = 0;
    int samples = 0;
    int limit = 50;
    int conversions = 0;
};
ColorConvStats colorConvStats;

void freeRecord(RetiredResources* record) {
    if (record->packet != nullptr) {
        record->packet->data = nullptr;
        record->packet->size = 0;
        ffmpegApi.av_packet_free(&record->packet);
    }
    if (record->codecContext != nullptr) ffmpegApi.avcodec_free_context(&record->codecContext);
    if (record->scaleContext != nullptr) ffmpegApi.sws_freeContext(record->scaleContext);
    delete record;
}

std::string sixDecimals(double value) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.6f", value);
    return text;
}

// The FFmpeg pixel format of a frame that is not over an FFmpeg picture.
int pixelFormatOf(const VideoFrame& frame) {
    if (const auto* av = dynamic_cast<const AvVideoFrame*>(&frame)) return av->pixelFormat();
    switch (frame.colorFormat()) {
    case ColorFormat::YUV420P: return AV_PIX_FMT_YUV420P;
    case ColorFormat::YUV444P: return AV_PIX_FMT_YUV444P;
    case ColorFormat::GBRP: return AV_PIX_FMT_GBRP;
    case ColorFormat::NV12: return AV_PIX_FMT_NV12;
    case ColorFormat::RGB24: return AV_PIX_FMT_RGB24;
    case ColorFormat::RGBA: return AV_PIX_FMT_RGBA;
    default: return AV_PIX_FMT_NONE;
    }
}

} // namespace

StreamDecoderLibAV::StreamDecoderLibAV(int width, int height, int outputColorFormat, const VideoEncodingSpec& spec)
    : StreamDecoder(width, height, outputColorFormat, spec) {
    name = "LibAv";
    // Made only once FFmpeg is loaded; without it the decoder stays inert.
    if (ffmpegApi.av_packet_alloc != nullptr) packet = ffmpegApi.av_packet_alloc();
    Poco::Mutex::ScopedLock guard(ffmpegDecoderLock);
    colorConvStats.longest = 0;
    colorConvStats.shortest = 2147483647.0;
    colorConvStats.average = 0;
    colorConvStats.samples = 0;
    colorConvStats.limit = 50;
}

StreamDecoderLibAV::~StreamDecoderLibAV() {
    decoderDebug(name + ": Cleaning LibAV data structures");
    auto* record = new RetiredResources{packet, codecContext, scaleContext, monotonicMillis(), nullptr};
    packet = nullptr;
    codecContext = nullptr;
    scaleContext = nullptr;
    Poco::Mutex::ScopedLock guard(ffmpegDecoderLock);
    record->next = retiredFfmpegResources;
    retiredFfmpegResources = record;
    for (RetiredResources** link = &record->next; *link != nullptr;) {
        RetiredResources* old = *link;
        if (old->retiredAt + 2000 < record->retiredAt) {
            *link = old->next;
            freeRecord(old);
        } else {
            link = &old->next;
        }
    }
}

void StreamDecoderLibAV::freeRetiredResources() {
    Poco::Mutex::ScopedLock guard(ffmpegDecoderLock);
    while (retiredFfmpegResources != nullptr) {
        RetiredResources* old = retiredFfmpegResources;
        retiredFfmpegResources = old->next;
        freeRecord(old);
    }
}

int StreamDecoderLibAV::retiredResourceCount() {
    Poco::Mutex::ScopedLock guard(ffmpegDecoderLock);
    int count = 0;
    for (RetiredResources* r = retiredFfmpegResources; r != nullptr; r = r->next) ++count;
    return count;
}

VideoFrame* StreamDecoderLibAV::allocFrame(int colorFormat) {
    return avFrameAllocator.allocate(colorFormat, width, height);
}

void StreamDecoderLibAV::releaseFrame(VideoFrame** frame) {
    avFrameAllocator.release(frame);
}

AVPixelFormat StreamDecoderLibAV::toAvPixelFormat() const {
    switch (spec.colorFormat) {
    case ColorFormat::YUV420P: return AV_PIX_FMT_YUV420P;
    case ColorFormat::YUV444P: return AV_PIX_FMT_YUV444P;
    default:
        decoderCritical(name + ": Unsupported color format found '" + colorFormatName(spec.colorFormat) + "'");
        return AV_PIX_FMT_YUV420P;
    }
}

bool StreamDecoderLibAV::canConvert() {
    std::lock_guard<std::mutex> guard(scaleMutex);
    if (scaleContext == nullptr) {
        const AVPixelFormat format = toAvPixelFormat();
        scaleContext = ffmpegApi.sws_getContext(width, height, format, width, height, AV_PIX_FMT_RGB24,
                                                SWS_BICUBIC, nullptr, nullptr, nullptr);
        scaleWidth = width;
        scaleHeight = height;
        scaleFormat = format;
    }
    return scaleContext != nullptr;
}

VideoFrame* StreamDecoderLibAV::convert(const VideoFrame* source) {
    if (source == nullptr) return nullptr;
    const int w = source->width();
    const int h = source->height();
    const int format = pixelFormatOf(*source);
    if (w <= 0 || h <= 0 || format == AV_PIX_FMT_NONE || source->plane(0) == nullptr) {
        decoderError(name + ": Can't convert " + colorFormatName(source->colorFormat(), true) + " frame of " +
                     std::to_string(w) + "x" + std::to_string(h));
        return nullptr;
    }

    VideoFrame* converted = allocFrame(ColorFormat::RGB24);
    if (converted == nullptr) return nullptr;
    AVFrame* target = static_cast<AvVideoFrame*>(converted)->avFrame;
    target->format = AV_PIX_FMT_RGB24;
    target->width = w;
    target->height = h;
    if (ffmpegApi.av_image_alloc(target->data, target->linesize, w, h, AV_PIX_FMT_RGB24, 32) < 0) {
        decoderError(name + ": Can't allocate a " + std::to_string(w) + "x" + std::to_string(h) + " RGB24 image");
        releaseFrame(&converted);
        return nullptr;
    }
    static_cast<AvVideoFrame*>(converted)->ownsImage = true;

    const std::uint8_t* const sourcePlanes[4] = {source->plane(0), source->plane(1), source->plane(2), nullptr};
    const int sourceLines[4] = {source->lineSize(0), source->lineSize(1), source->lineSize(2), 0};
    const std::int64_t start = monotonicMillis();
    {
        std::lock_guard<std::mutex> guard(scaleMutex);
        if (scaleContext == nullptr || scaleWidth != w || scaleHeight != h || scaleFormat != format) {
            if (scaleContext != nullptr) ffmpegApi.sws_freeContext(scaleContext);
            scaleContext = ffmpegApi.sws_getContext(w, h, static_cast<AVPixelFormat>(format), w, h,
                                                    AV_PIX_FMT_RGB24, SWS_BICUBIC, nullptr, nullptr, nullptr);
            scaleWidth = w;
            scaleHeight = h;
            scaleFormat = format;
        }
        if (scaleContext == nullptr) {
            decoderError("Can't setup conversion");
            releaseFrame(&converted);
            return nullptr;
        }
        ffmpegApi.sws_scale(scaleContext, sourcePlanes, sourceLines, 0, h, target->data, target->linesize);
    }
    const double elapsed = static_cast<double>(monotonicMillis() - start);

    Poco::Mutex::ScopedLock guard(ffmpegDecoderLock);
    ColorConvStats& s = colorConvStats;
    s.longest = std::max(s.longest, elapsed);
    s.shortest = std::min(s.shortest, elapsed);
    const int used = std::min(s.samples, s.limit);
    s.average = (used * s.average + elapsed) / (used + 1);
    s.samples = used + 1;
    if (++s.conversions >= 50) {
        decoderDebug(name + ": avg colorConv " + sixDecimals(s.samples < s.limit ? -1.0 : s.average) + ", min/max " +
                     sixDecimals(s.shortest) + " / " + sixDecimals(s.longest));
        s.longest = 0;
        s.shortest = 2147483647.0;
        s.conversions = 0;
    }
    return converted;
}

} // namespace qor
