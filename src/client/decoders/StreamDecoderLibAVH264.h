// H.264 through FFmpeg's "h264" decoder (loaded at run time): Baseline,
// Main, High, High 4:4:4 and lossless RGB.
#pragma once

#include "StreamDecoderLibAV.h"

namespace qor {

class StreamDecoderLibAVH264 : public StreamDecoderLibAV {
public:
    StreamDecoderLibAVH264(int width, int height, int outputColorFormat, const VideoEncodingSpec& spec);

    bool decode(const std::uint8_t* data, std::uint32_t length, VideoFrame** frame) override;
    // The pictures FFmpeg still holds, in display order; then the decoder
    // is flushed for a new stream.
    bool drain(VideoFrame** frame) override;
    bool init() override { return setupEncoder(); }
    bool setupEncoder();

    // Registers the eleven rows of this kind; false when FFmpeg is missing or
    // the kind is switched off.
    static bool registerDecoder(const DecoderRegistrationConfig& config);

private:
    // The picture FFmpeg gave into *frame, as the canvas is to get it.
    bool handOut(VideoFrame** frame);
    // FFmpeg asks for the pixel format whenever a sequence sets a new
    // picture size, before it allocates anything for pictures of that size:
    // a size that no stream can announce gets none (FFmpeg then fails each
    // access unit of the sequence), any other FFmpeg's own choice.
    static AVPixelFormat choosePixelFormat(AVCodecContext* context, const AVPixelFormat* formats);

    // The size of the pictures last refused, logged once.
    int refusedWidth_ = 0;
    int refusedHeight_ = 0;

    // The end of the stream was sent; receiving runs until FFmpeg has
    // given out every picture.
    bool draining_ = false;
};

} // namespace qor
