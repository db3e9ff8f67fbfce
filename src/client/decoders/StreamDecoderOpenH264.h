// H.264 (Baseline, Main, High; 8-bit 4:2:0) through the linked OpenH264
// library, into pooled YUV420p frames or straight into RGB24 frames.
// The library gives every picture out as soon as it is decoded; pictures of
// a stream that reorders (B-frames) are held back here, as few as the
// stream needs, and handed out in display order.
#pragma once

#include "H264PictureOrder.h"
#include "StreamDecoder.h"

#include <array>
#include <vector>

class ISVCDecoder;

namespace qor {

class DecodedVideoFrame;

class StreamDecoderOpenH264 : public StreamDecoder {
public:
    StreamDecoderOpenH264(int width, int height, int outputColorFormat, const VideoEncodingSpec& spec);
    ~StreamDecoderOpenH264() override;

    bool decode(const std::uint8_t* data, std::uint32_t length, VideoFrame** frame) override;
    // The pictures still in the library, then those held back here, in
    // display order.
    bool drain(VideoFrame** frame) override;
    VideoFrame* convert(const VideoFrame* frame) override;
    bool init() override;
    bool canConvert() override { return true; }
    virtual std::string decoderName() const { return "OpenH264"; }

    // Registers the six rows of this kind; false when switched off.
    static bool registerDecoder(const DecoderRegistrationConfig& config);

private:
    struct HeldPicture {
        VideoFrame* frame;
        H264PictureOrder::Position position;
    };

    bool storePicture(std::uint8_t* const planes[3], int pictureWidth, int pictureHeight, int lumaStride,
                      int chromaStride, DecodedVideoFrame& frame);
    // Where the picture of the unit with that number stands.
    H264PictureOrder::Position positionOfUnit(unsigned long long number) const;
    // The new picture in *frame, given out now or held back for display
    // order; true when *frame holds the picture to show next.
    bool orderPicture(VideoFrame** frame, const H264PictureOrder::Position& position);
    // Gives out the first held picture in display order when more are held
    // than the stream may reorder; releases what *frame held.
    bool showHeldPicture(VideoFrame** frame, std::size_t depth);
    void noteShown(const H264PictureOrder::Position& position);
    // Moves the pictures the library still holds to the held ones.
    void takeLibraryPictures();

    ISVCDecoder* decoder = nullptr;
    H264PictureOrder order_;
    // Positions of the last units, by unit number (the library hands the
    // number on with the unit's picture).
    std::array<std::pair<unsigned long long, H264PictureOrder::Position>, 16> unitPositions_{};
    unsigned long long unitNumber_ = 0;
    std::vector<HeldPicture> held_;
    // The latest position given out; unknown before the first.
    H264PictureOrder::Position shown_;
};

} // namespace qor
