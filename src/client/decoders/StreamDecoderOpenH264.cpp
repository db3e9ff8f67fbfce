#include "StreamDecoderOpenH264.h"

#include "ColorFormat.h"
#include "DecodedVideoFrame.h"
#include "DecoderLog.h"
#include "I420ToRgb24.h"
#include "Logging.h"

#include <wels/codec_api.h>

#include <cstring>

namespace qor {

namespace {

const char* const kindName = "OpenH264";

// Takes one picture the library still holds, if it holds one; true when
// planes and info then describe it.
bool flushLibrary(ISVCDecoder& decoder, unsigned char* planes[3], SBufferInfo& info) {
    int remaining = 0;
    decoder.GetOption(DECODER_OPTION_NUM_OF_FRAMES_REMAINING_IN_BUFFER, &remaining);
    if (remaining <= 0) return false;
    std::memset(&info, 0, sizeof(info));
    planes[0] = planes[1] = planes[2] = nullptr;
    decoder.FlushFrame(planes, &info);
    return info.iBufferStatus != 0 && planes[0] != nullptr && planes[1] != nullptr && planes[2] != nullptr;
}

} // namespace

StreamDecoderOpenH264::StreamDecoderOpenH264(int width, int height, int outputColorFormat,
                                             const VideoEncodingSpec& spec)
    : StreamDecoder(width, height, outputColorFormat, spec) {
    name = kindName;
}

StreamDecoderOpenH264::~StreamDecoderOpenH264() {
    decoderTrace(name + ": Cleaning data structures");
    for (HeldPicture& held : held_) releaseVideoFrame(&held.frame);
    if (decoder != nullptr) {
        decoder->Uninitialize();
        WelsDestroyDecoder(decoder);
        decoder = nullptr;
    }
}

bool StreamDecoderOpenH264::registerDecoder(const DecoderRegistrationConfig& config) {
    decoderDebug(std::string("Registering ") + kindName);
    const int priority = configuredPriority(config.settings, kindName, 3);
    if (priority == -1) return false;
    const int profiles[] = {0, 2, 3};
    for (const int output : {ColorFormat::YUV420P, ColorFormat::RGB24}) {
        for (const int profile : profiles) {
            addRegistration({kindName, {profile, 0, 8}, output, output == ColorFormat::YUV420P, true, priority});
        }
    }
    return true;
}

bool StreamDecoderOpenH264::init() {
    ISVCDecoder* handle = nullptr;
    if (WelsCreateDecoder(&handle) != 0 || handle == nullptr) {
        decoderCritical(name + ": Create Decoder failed.");
        return false;
    }
    SDecodingParam param;
    std::memset(&param, 0, sizeof(param));
    param.uiTargetDqLayer = 255;
    param.eEcActiveIdc = ERROR_CON_SLICE_COPY;
    param.sVideoProperty.size = sizeof(param.sVideoProperty);
    param.sVideoProperty.eVideoBsType = VIDEO_BITSTREAM_SVC;
    if (handle->Initialize(&param) != 0) {
        decoderCritical(name + ": Decoder initialization failed.");
        WelsDestroyDecoder(handle);
        return false;
    }
    decoder = handle;
    decoderDebug(name + ": Decoder initialization done.");
    return true;
}

bool StreamDecoderOpenH264::decode(const std::uint8_t* data, std::uint32_t length, VideoFrame** frame) {
    if (decoder == nullptr) {
        logCritical(decoderName() + ": Decoder not initialized");
        return false;
    }
    if (frame == nullptr || *frame == nullptr || data == nullptr || length == 0 || length > 0x7fffffffu) {
        return false;
    }
    const unsigned long long number = ++unitNumber_;
    unitPositions_[number % unitPositions_.size()] = {number, order_.scan(data, length)};
    unsigned char* planes[3] = {nullptr, nullptr, nullptr};
    SBufferInfo info;
    std::memset(&info, 0, sizeof(info));
    info.uiInBsTimeStamp = number;
    const DECODING_STATE state =
        decoder->DecodeFrameNoDelay(data, static_cast<int>(length), planes, &info);

    // For streams that may reorder pictures (Main, High) the library keeps
    // the newest picture back until the next access unit arrives: take it
    // out now. Each picture thus comes out as soon as it is decoded; where
    // the stream reorders, orderPicture puts it into display order. (The
    // library's own reordering, without this, reuses the buffer of a picture
    // not yet given out at IDR pictures of streams with B-pyramids, and
    // flushing only at those runs out of picture buffers.)
    if (info.iBufferStatus == 0) flushLibrary(*decoder, planes, info);

    if (info.iBufferStatus == 0 || planes[0] == nullptr || planes[1] == nullptr || planes[2] == nullptr) {
        // No new picture: the caller presents nothing and counts a failure,
        // unless a held picture is due.
        if (frameCount > 0) {
            decoderDebug("Buffer status: " + std::to_string(info.iBufferStatus));
            decoderDebug("Decode returned: " + std::to_string(static_cast<int>(state)));
        }
        return showHeldPicture(frame, static_cast<std::size_t>(order_.reorderDepth()));
    }

    ++frameCount;
    const SSysMEMBuffer& picture = info.UsrData.sSystemBuffer;
    if (!storePicture(planes, picture.iWidth, picture.iHeight, picture.iStride[0], picture.iStride[1],
                      *static_cast<DecodedVideoFrame*>(*frame))) {
        return false;
    }
    // Later frames are allocated at the stream's real size.
    width = picture.iWidth;
    height = picture.iHeight;
    return orderPicture(frame, positionOfUnit(info.uiOutYuvTimeStamp));
}

bool StreamDecoderOpenH264::drain(VideoFrame** frame) {
    if (frame == nullptr || *frame == nullptr) return false;
    takeLibraryPictures();
    if (held_.empty()) {
        // What comes next is a stream of its own.
        shown_ = H264PictureOrder::Position();
        return false;
    }
    return showHeldPicture(frame, 0);
}

void StreamDecoderOpenH264::takeLibraryPictures() {
    if (decoder == nullptr) return;
    unsigned char* planes[3] = {nullptr, nullptr, nullptr};
    SBufferInfo info;
    // The library holds at most a few pictures; the bound only guards
    // against one that keeps saying it has more.
    for (int i = 0; i < H264PictureOrder::MAX_REORDER_DEPTH && flushLibrary(*decoder, planes, info); ++i) {
        VideoFrame* picture = allocFrame(outputColorFormat);
        const SSysMEMBuffer& buffer = info.UsrData.sSystemBuffer;
        if (picture == nullptr || !storePicture(planes, buffer.iWidth, buffer.iHeight, buffer.iStride[0],
                                                buffer.iStride[1], *static_cast<DecodedVideoFrame*>(picture))) {
            releaseVideoFrame(&picture);
            continue;
        }
        ++frameCount;
        held_.push_back({picture, positionOfUnit(info.uiOutYuvTimeStamp)});
    }
}

H264PictureOrder::Position StreamDecoderOpenH264::positionOfUnit(unsigned long long number) const {
    const auto& entry = unitPositions_[number % unitPositions_.size()];
    return entry.first == number ? entry.second : H264PictureOrder::Position();
}

bool StreamDecoderOpenH264::orderPicture(VideoFrame** frame, const H264PictureOrder::Position& position) {
    const int depth = position.known ? order_.reorderDepth() : 0;
    // A picture behind one already shown: a stream that does not say how
    // far it reorders shows that it does.
    if (position.known && shown_.known && position < shown_ && !order_.depthAnnounced()) {
        order_.learnLatePicture();
    }
    if (held_.empty() && depth == 0) {
        noteShown(position);
        return true;
    }
    held_.push_back({*frame, position});
    *frame = nullptr;
    return showHeldPicture(frame, static_cast<std::size_t>(depth));
}

void StreamDecoderOpenH264::noteShown(const H264PictureOrder::Position& position) {
    if (position.known && (!shown_.known || shown_ < position)) shown_ = position;
}

bool StreamDecoderOpenH264::showHeldPicture(VideoFrame** frame, std::size_t depth) {
    if (held_.size() <= depth) return false;
    // Pictures of unknown position go after the known ones, in their order.
    auto first = held_.begin();
    for (auto it = held_.begin() + 1; it != held_.end(); ++it) {
        if (it->position.known && (!first->position.known || it->position < first->position)) first = it;
    }
    releaseVideoFrame(frame);
    *frame = first->frame;
    noteShown(first->position);
    held_.erase(first);
    return true;
}

bool StreamDecoderOpenH264::storePicture(std::uint8_t* const planes[3], int pictureWidth, int pictureHeight,
                                         int lumaStride, int chromaStride, DecodedVideoFrame& frame) {
    if (pictureWidth <= 0 || pictureHeight <= 0) return false;
    frame.setWidth(pictureWidth);
    frame.setHeight(pictureHeight);
    frame.setColorFormat(outputColorFormat == ColorFormat::RGB24 ? ColorFormat::RGB24 : ColorFormat::YUV420P);
    frame.computeLineSizes();
    if (!frame.growToLayout()) {
        decoderCritical(name + ": Out of memory for a " + std::to_string(pictureWidth) + "x" +
                        std::to_string(pictureHeight) + " picture");
        return false;
    }
    if (frame.colorFormat() == ColorFormat::RGB24) {
        i420ToRgb24(planes[0], planes[1], planes[2], lumaStride, chromaStride, pictureWidth, pictureHeight,
                    frame.plane(0));
        return true;
    }
    for (int k = 0; k < 3; ++k) {
        const int stride = k == 0 ? lumaStride : chromaStride;
        const int line = frame.lineSize(k);
        const int lines = frame.planeLines(k);
        const std::uint8_t* from = planes[k];
        std::uint8_t* to = frame.plane(k);
        for (int i = 0; i < lines; ++i) {
            std::memcpy(to + static_cast<std::ptrdiff_t>(i) * line, from + static_cast<std::ptrdiff_t>(i) * stride,
                        line);
        }
    }
    return true;
}

VideoFrame* StreamDecoderOpenH264::convert(const VideoFrame* frame) {
    return convertToRgb24(frame);
}

} // namespace qor
