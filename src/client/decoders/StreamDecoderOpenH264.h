// H.264 (Baseline, Main, High; 8-bit 4:2:0) through the linked OpenH264
// library, into pooled YUV420p frames or straight into RGB24 frames.
#pragma once

#include "StreamDecoder.h"

class ISVCDecoder;

namespace qor {

class DecodedVideoFrame;

class StreamDecoderOpenH264 : public StreamDecoder {
public:
    StreamDecoderOpenH264(int width, int height, int outputColorFormat, const VideoEncodingSpec& spec);
    ~StreamDecoderOpenH264() override;

    bool decode(const std::uint8_t* data, std::uint32_t length, VideoFrame** frame) override;
    VideoFrame* convert(const VideoFrame* frame) override;
    bool init() override;
    bool canConvert() override { return true; }
    virtual std::string decoderName() const { return "OpenH264"; }

    // Registers the six rows of this kind; false when switched off.
    static bool registerDecoder(const DecoderRegistrationConfig& config);

private:
    bool storePicture(std::uint8_t* const planes[3], int pictureWidth, int pictureHeight, int lumaStride,
                      int chromaStride, DecodedVideoFrame& frame);

    ISVCDecoder* decoder = nullptr;
};

} // namespace qor
