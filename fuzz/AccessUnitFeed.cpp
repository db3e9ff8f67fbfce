#include "AccessUnitFeed.h"

#include "AccessUnitSplitter.h"
#include "ColorFormat.h"
#include "FuzzSupport.h"
#include "StreamDecoder.h"
#include "StreamDecoderLibAV.h"
#include "VideoFrame.h"

#include <memory>
#include <set>

namespace fuzz {

namespace {

constexpr std::size_t HEADER_BYTES = 5;
// Announced sizes up to 4095: the sessions keep larger ones from the
// decoders (the control-message harness), and a frame of that size each time would
// only slow the search.
constexpr int SIZE_MASK = 0xfff;

// Reads every byte the frame says it holds; the sum keeps the reads.
void readThrough(const qor::VideoFrame& frame) {
    if (frame.width() <= 0 || frame.height() <= 0)
        fail("a picture of " + std::to_string(frame.width()) + "x" + std::to_string(frame.height()));
    volatile unsigned sum = 0;
    for (int k = 0; k < 3; ++k) {
        const int rowBytes = frame.planeRowBytes(k);
        const std::uint8_t* plane = frame.plane(k);
        if (rowBytes <= 0 || plane == nullptr) continue;
        if (frame.lineSize(k) < rowBytes)
            fail("plane " + std::to_string(k) + " has lines of " + std::to_string(frame.lineSize(k)) +
                 " bytes for rows of " + std::to_string(rowBytes));
        const int lines = frame.planeLines(k);
        for (int line = 0; line < lines; ++line) {
            const std::uint8_t* row = plane + static_cast<std::ptrdiff_t>(line) * frame.lineSize(k);
            sum += row[0] + row[rowBytes - 1];
        }
    }
    (void)sum;
}

} // namespace

void registerStreamDecoders() {
    if (!qor::StreamDecoder::registerDecoders()) fail("no stream decoder registered");
}

void feedAccessUnits(const std::string& decoderName, const std::uint8_t* data, std::size_t size) {
    if (size < HEADER_BYTES) return;
    const bool rgbOutput = (data[0] & 1) != 0;
    std::set<int> drawn;
    switch ((data[0] >> 1) & 3) {
    case 0: drawn = {ColorFormat::YUV420P}; break;
    case 1: drawn = {ColorFormat::RGB24}; break;
    case 2:
        drawn = {ColorFormat::YUV420P, ColorFormat::YUV444P, ColorFormat::NV12, ColorFormat::RGB24,
                 ColorFormat::GBRP};
        break;
    default: break;
    }
    const int width = ((data[1] << 8) | data[2]) & SIZE_MASK;
    const int height = ((data[3] << 8) | data[4]) & SIZE_MASK;
    const qor::VideoEncodingSpec spec{3, 0, 8};
    std::unique_ptr<qor::StreamDecoder> decoder = qor::StreamDecoder::create(
        decoderName, width, height, rgbOutput ? ColorFormat::RGB24 : ColorFormat::YUV420P, spec);
    if (!decoder) fail("no decoder " + decoderName);
    if (!decoder->init()) fail("decoder " + decoderName + " could not be set up");

    // Every byte of a picture (and of its conversion) is read; the frame goes back.
    auto show = [&](qor::VideoFrame* frame) {
        if (frame == nullptr) fail("a picture came out without a frame");
        readThrough(*frame);
        if (drawn.count(frame->colorFormat()) == 0) {
            qor::VideoFrame* converted = decoder->convert(frame);
            if (converted != nullptr) readThrough(*converted);
            qor::releaseVideoFrame(&converted);
        }
        qor::releaseVideoFrame(&frame);
    };
    const std::uint8_t* stream = data + HEADER_BYTES;
    for (const AccessUnitSplitter::Unit& unit : AccessUnitSplitter::split(stream, size - HEADER_BYTES)) {
        if (unit.offset + unit.length > size - HEADER_BYTES || unit.length == 0)
            fail("the splitter gave a unit outside the stream");
        // As the decoder thread: no frame to decode into (out of memory) is
        // an access unit without picture.
        qor::VideoFrame* frame = decoder->allocFrame(decoder->outputColorFormat);
        if (frame == nullptr) continue;
        if (!decoder->decode(stream + unit.offset, static_cast<std::uint32_t>(unit.length), &frame)) {
            qor::releaseVideoFrame(&frame);
            continue;
        }
        show(frame);
    }
    // The end of the stream: what the decoder still holds comes out.
    for (int held = 0;; ++held) {
        if (held > 64) fail("the decoder hands out pictures without end");
        qor::VideoFrame* frame = decoder->allocFrame(decoder->outputColorFormat);
        if (frame == nullptr) break;
        if (!decoder->drain(&frame)) {
            qor::releaseVideoFrame(&frame);
            break;
        }
        show(frame);
    }
    // The client keeps a finished FFmpeg decoder's state for two seconds:
    // here it would pile up over the inputs and be counted against the
    // next ones. Each input's memory is its own.
    decoder.reset();
    qor::StreamDecoderLibAV::freeRetiredResources();
}

} // namespace fuzz
