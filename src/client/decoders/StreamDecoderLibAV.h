// The FFmpeg side of stream decoding: owns the codec context, the packet and
// the scaling context, hands out frames over FFmpeg pictures and converts
// them to RGB24 with swscale.
#pragma once

#include "StreamDecoder.h"

#include <mutex>

extern "C" {
#include <libavutil/pixfmt.h>
}

struct AVCodec;
struct AVCodecContext;
struct AVPacket;
struct SwsContext;

namespace qor {

class StreamDecoderLibAV : public StreamDecoder {
public:
    StreamDecoderLibAV(int width, int height, int outputColorFormat, const VideoEncodingSpec& spec);
    ~StreamDecoderLibAV() override;

    // A new RGB24 frame at the given frame's own size, from its own planes,
    // line sizes and pixel format; null when it cannot be made.
    VideoFrame* convert(const VideoFrame* frame) override;
    VideoFrame* allocFrame(int colorFormat) override;
    void releaseFrame(VideoFrame** frame) override;
    // Creates the scaling context for the announced stream; true when it exists.
    bool canConvert() override;
    virtual AVPixelFormat toAvPixelFormat() const;

    // Frees every retired FFmpeg state (the client does not need this; tests
    // and tools that end cleanly do).
    static void freeRetiredResources();
    static int retiredResourceCount();

protected:
    const AVCodec* codec = nullptr;
    AVCodecContext* codecContext = nullptr;
    AVPacket* packet = nullptr;
    SwsContext* scaleContext = nullptr;

private:
    // The source geometry the scaling context was made for.
    int scaleWidth = 0;
    int scaleHeight = 0;
    int scaleFormat = -1;
    // convert runs on the colour-conversion thread while the decoder thread
    // may make its first RGB24 frame: the scaling context is shared.
    std::mutex scaleMutex;
};

} // namespace qor
