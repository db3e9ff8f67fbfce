#include "StreamDecoderLibAVH264.h"

#include "AvVideoFrame.h"
#include "ColorFormat.h"
#include "DecoderLog.h"
#include "FfmpegLoader.h"
#include "Logging.h"

#include <algorithm>

namespace qor {

namespace {
const char* const kindName = "LibAVH264";
} // namespace

StreamDecoderLibAVH264::StreamDecoderLibAVH264(int width, int height, int outputColorFormat,
                                               const VideoEncodingSpec& spec)
    : StreamDecoderLibAV(width, height, outputColorFormat, spec) {
    name = kindName;
}

bool StreamDecoderLibAVH264::registerDecoder(const DecoderRegistrationConfig& config) {
    decoderDebug(std::string("Registering ") + kindName);
    if (!ensureLibav(config.libAvDirectory) || ffmpegApi.avcodec_find_decoder_by_name("h264") == nullptr) {
        decoderDebug(std::string("Decoder '") + kindName + "' not available");
        configuredPriority(config.settings, kindName, -2);
        return false;
    }
    const int p = configuredPriority(config.settings, kindName, 5);
    if (p == -1) return false;
    using namespace ColorFormat;
    const StreamDecoderRegistration rows[] = {
        {kindName, {0, 0, 8}, YUV420P, true, true, p},
        {kindName, {2, 0, 8}, YUV420P, true, true, p},
        {kindName, {3, 0, 8}, YUV420P, true, true, p},
        {kindName, {9, 125, 8}, GBRP, true, true, p},
        {kindName, {6, 6, 8}, YUV444P, true, true, p},
        {kindName, {0, 0, 8}, RGB24, false, true, p},
        {kindName, {2, 0, 8}, RGB24, false, true, p},
        {kindName, {3, 0, 8}, RGB24, false, true, p},
        {kindName, {6, 6, 8}, RGB24, false, true, p},
        {kindName, {6, 6, 8}, RGB24, false, true, p},
        {kindName, {6, 6, 8}, RGB24, false, true, std::max(p - 1, 0)},
    };
    for (const StreamDecoderRegistration& row : rows) addRegistration(row);
    decoderDebug(std::string("Registered ") + kindName + " successfully");
    return true;
}

bool StreamDecoderLibAVH264::setupEncoder() {
    decoderDebug(name + ": In setupEncoder");
    codec = ffmpegApi.avcodec_find_decoder_by_name != nullptr ? ffmpegApi.avcodec_find_decoder_by_name("h264")
                                                               : nullptr;
    if (codec == nullptr) {
        logWarning(name + ": Can't find decoder 'h264'");
        return false;
    }
    codecContext = ffmpegApi.avcodec_alloc_context3(codec);
    if (codecContext == nullptr) {
        logError(name + ": Could not allocate video codec context");
        return false;
    }
    // One picture out for every access unit in: no frame threading (which
    // holds pictures back by the number of threads), no reorder delay.
    codecContext->flags |= AV_CODEC_FLAG_LOW_DELAY;
    codecContext->thread_type = FF_THREAD_SLICE;
    codecContext->opaque = this;
    codecContext->get_format = &StreamDecoderLibAVH264::choosePixelFormat;
    if (ffmpegApi.avcodec_open2(codecContext, codec, nullptr) < 0) {
        ffmpegApi.avcodec_free_context(&codecContext);
        codecContext = nullptr;
        logWarning(name + ": Could not open 'h264' codec");
        return false;
    }
    return true;
}

bool StreamDecoderLibAVH264::decode(const std::uint8_t* data, std::uint32_t length, VideoFrame** frame) {
    if (length == 0 || codecContext == nullptr || packet == nullptr || data == nullptr || frame == nullptr ||
        length > 0x7fffffffu) {
        return false;
    }
    auto* target = dynamic_cast<AvVideoFrame*>(*frame);
    if (target == nullptr || target->avFrame == nullptr) return false;
    AVFrame* picture = target->avFrame;
    if (draining_) {
        // A unit after an unfinished drain begins the next stream.
        ffmpegApi.avcodec_flush_buffers(codecContext);
        draining_ = false;
    }
    // Only failures are logged: the text is built when one happens.
    auto counts = [&] { return std::to_string(frameCount) + ", size " + std::to_string(length) + " got "; };

    // The packet does not own the bytes; FFmpeg copies them (with the
    // padding its bit readers need) before the call returns.
    packet->data = const_cast<std::uint8_t*>(data);
    packet->size = static_cast<int>(length);
    int result = ffmpegApi.avcodec_send_packet(codecContext, packet);
    packet->data = nullptr;
    packet->size = 0;
    if (result < 0) {
        decoderError("Error sending a packet to decoder while decoding frame " + counts() + std::to_string(result));
        return false;
    }
    result = ffmpegApi.avcodec_receive_frame(codecContext, picture);
    // FFmpeg holds the picture back until a later one is decoded (display
    // order) or wants more input to finish it: no picture yet, no error.
    if (result == AVERROR(EAGAIN)) return false;
    if (result == AVERROR_EOF) {
        decoderError("Error receiving frame from decoder while decoding frame " + counts() + std::to_string(result));
        return false;
    }
    if (result < 0) {
        decoderError("Error during decoding frame " + counts() + std::to_string(result));
        return false;
    }
    return handOut(frame);
}

bool StreamDecoderLibAVH264::drain(VideoFrame** frame) {
    if (codecContext == nullptr || frame == nullptr) return false;
    auto* target = dynamic_cast<AvVideoFrame*>(*frame);
    if (target == nullptr || target->avFrame == nullptr) return false;
    if (!draining_) {
        // A null packet ends the stream: FFmpeg then gives out what it holds.
        const int result = ffmpegApi.avcodec_send_packet(codecContext, nullptr);
        if (result < 0 && result != AVERROR_EOF) {
            decoderError(name + ": Can't end the stream, got " + std::to_string(result));
            ffmpegApi.avcodec_flush_buffers(codecContext);
            return false;
        }
        draining_ = true;
    }
    const int result = ffmpegApi.avcodec_receive_frame(codecContext, target->avFrame);
    if (result < 0) {
        if (result != AVERROR_EOF) {
            decoderError("Error during decoding frame " + std::to_string(frameCount) + " at the end of the stream got " +
                         std::to_string(result));
        }
        // Ready for the next stream.
        ffmpegApi.avcodec_flush_buffers(codecContext);
        draining_ = false;
        return false;
    }
    return handOut(frame);
}

AVPixelFormat StreamDecoderLibAVH264::choosePixelFormat(AVCodecContext* context, const AVPixelFormat* formats) {
    auto* self = static_cast<StreamDecoderLibAVH264*>(context->opaque);
    const int w = context->width;
    const int h = context->height;
    if (frameSizeFits(w, h)) return ffmpegApi.avcodec_default_get_format(context, formats);
    // The sequence's pictures would take FFmpeg's planes and the canvas's
    // copies far beyond any announced screen: they are dropped, and the
    // decoder thread counts their access units as failed.
    if (self != nullptr && (w != self->refusedWidth_ || h != self->refusedHeight_)) {
        self->refusedWidth_ = w;
        self->refusedHeight_ = h;
        decoderError(self->name + ": Dropping pictures of " + std::to_string(w) + "x" + std::to_string(h) +
                     ", larger than " + std::to_string(MAX_FRAME_DIMENSION) + "x" +
                     std::to_string(MAX_FRAME_DIMENSION));
    }
    return AV_PIX_FMT_NONE;
}

bool StreamDecoderLibAVH264::handOut(VideoFrame** frame) {
    ++frameCount;
    if (outputColorFormat != ColorFormat::RGB24) return true;

    // convert logs why it could not make the RGB24 frame.
    VideoFrame* converted = convert(*frame);
    if (converted == nullptr) return false;
    releaseFrame(frame);
    *frame = converted;
    return true;
}

} // namespace qor
