// The stream decoder interface: turns the access units of one screen's
// video stream into frames. Concrete kinds register the streams they accept
// in decoderRegistry; select() picks one for a stream and a canvas.
#pragma once

#include "StreamDecoderRegistration.h"
#include "VideoEncodingSpec.h"
#include "VideoFrame.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qor {

class StreamDecoder {
public:
    // Whether the canvas can draw a colour-format code.
    using FormatTest = std::function<bool(int colorFormat)>;

    StreamDecoder(int width, int height, int outputColorFormat, const VideoEncodingSpec& spec);
    virtual ~StreamDecoder();
    StreamDecoder(const StreamDecoder&) = delete;
    StreamDecoder& operator=(const StreamDecoder&) = delete;

    // Decodes one access unit into the frame the caller took from allocFrame.
    // True when a new picture came out: it is then in *frame (which a
    // decoder may have replaced). False when no new picture came out; the
    // caller still holds, and releases, what *frame holds (null when the
    // decoder kept the frame for later), and presents nothing.
    virtual bool decode(const std::uint8_t* data, std::uint32_t length, VideoFrame** frame) = 0;
    // At the end of a stream (no access unit follows, or the next one
    // begins a new stream): hands out the next picture the decoder still
    // holds back for display order, as decode does with a unit. Call it
    // until it returns false; the decoder then takes a new stream.
    virtual bool drain(VideoFrame** frame);
    // A new frame in a colour format the canvas can draw, made from the
    // given frame (which stays the caller's); null when it cannot be made.
    virtual VideoFrame* convert(const VideoFrame* frame) = 0;
    virtual bool isH264Family() const { return h264Family; }
    // A frame for the next picture, sized for width x height when that can
    // be had (the picture's own size counts in the end).
    virtual VideoFrame* allocFrame(int colorFormat);
    virtual void releaseFrame(VideoFrame** frame);
    // Prepares the decoder once, on the thread that decodes.
    virtual bool init() = 0;
    virtual bool canConvert() = 0;

    // A new RGB24 frame from a YUV420p frame, at the frame's own size and
    // with its own line sizes; null for other formats or short of memory.
    VideoFrame* convertToRgb24(const VideoFrame* frame);

    // Registers the FFmpeg kind, then the OpenH264 kind; true when at least
    // one registered.
    static bool registerDecoders(const DecoderRegistrationConfig& config = {});
    // The kind's configured priority, or -1 when it is switched off.
    static int configuredPriority(const DecoderSettingsReader& settings, const std::string& name,
                                  int defaultPriority);
    static void addRegistration(const StreamDecoderRegistration& row);
    // Appends each registry row's specification to supportedEncodings
    // unless an equal one is there.
    static void collectSupportedEncodings();
    // A new, not yet initialised decoder of that kind; null (logged) for an
    // unknown name.
    static std::unique_ptr<StreamDecoder> create(const std::string& name, int width, int height,
                                                 int outputColorFormat, const VideoEncodingSpec& spec);
    static std::string describeEntry(const StreamDecoderRegistration& row);
    // Chooses a decoder for the stream whose output the canvas can draw,
    // else one whose output can be converted; null when no row fits.
    // Safe to call from several decoder threads at once.
    static std::unique_ptr<StreamDecoder> select(const FormatTest& canvasSupports, const VideoEncodingSpec& spec,
                                                 int width, int height);
    // Forgets the remembered choice (used when the registry is rebuilt).
    static void clearSelectionCache();

    int width;
    int height;
    int outputColorFormat;
    VideoEncodingSpec spec;
    bool h264Family;
    int frameCount = 0;
    std::string name = "StreamDecoder";
};

} // namespace qor
