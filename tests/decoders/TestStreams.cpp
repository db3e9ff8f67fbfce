#include "TestStreams.h"

#include "AccessUnitSplitter.h"
#include "I420ToRgb24.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

const std::string& testStreamDir() {
    static const std::string dir = [] {
        const std::string path = QDK_DECODER_STREAMS;
        struct stat info;
        if (stat((path + "/ready").c_str(), &info) != 0) {
            const std::string command =
                "flock '" + path + ".lock' sh '" QDK_MAKE_STREAMS "' '" + path + "' >/dev/null 2>&1";
            if (std::system(command.c_str()) != 0) ADD_FAILURE() << "can't make the test streams: " << command;
        }
        return path;
    }();
    return dir;
}

std::string testStreamPath(const std::string& file) {
    return testStreamDir() + "/" + file;
}

std::vector<std::uint8_t> readBinaryFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << path;
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::vector<std::uint8_t>> readAccessUnits(const std::string& streamFile) {
    const std::vector<std::uint8_t> stream = readBinaryFile(testStreamPath(streamFile));
    std::vector<std::vector<std::uint8_t>> units;
    for (const AccessUnitSplitter::Unit& unit : AccessUnitSplitter::split(stream.data(), stream.size())) {
        units.emplace_back(stream.begin() + unit.offset, stream.begin() + unit.offset + unit.length);
    }
    return units;
}

namespace {

// Bits of a NAL unit's payload without its emulation-prevention bytes.
class SequenceBits {
public:
    explicit SequenceBits(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
    bool atEnd() const { return at_ >= bytes_.size() * 8; }
    int bit() {
        if (atEnd()) {
            ok_ = false;
            return 0;
        }
        const int value = (bytes_[at_ / 8] >> (7 - at_ % 8)) & 1;
        ++at_;
        return value;
    }
    std::uint32_t bits(int count) {
        std::uint32_t value = 0;
        for (int i = 0; i < count; ++i) value = (value << 1) | static_cast<std::uint32_t>(bit());
        return value;
    }
    std::uint32_t ue() {
        int zeros = 0;
        while (ok_ && bit() == 0) ++zeros;
        if (zeros > 31) ok_ = false;
        return ok_ ? (std::uint32_t{1} << zeros) - 1 + bits(zeros) : 0;
    }
    bool ok() const { return ok_; }

private:
    std::vector<std::uint8_t> bytes_;
    std::size_t at_ = 0;
    bool ok_ = true;
};

class BitWriter {
public:
    void bits(std::uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i) bits_.push_back(((value >> i) & 1) != 0);
    }
    void ue(std::uint32_t value) {
        const std::uint64_t code = std::uint64_t{value} + 1;
        int length = 0;
        while ((code >> length) > 1) ++length;
        bits(0, length);
        for (int i = length; i >= 0; --i) bits_.push_back(((code >> i) & 1) != 0);
    }
    std::vector<std::uint8_t> bytes() const {
        std::vector<std::uint8_t> out((bits_.size() + 7) / 8, 0);
        for (std::size_t i = 0; i < bits_.size(); ++i)
            if (bits_[i]) out[i / 8] |= static_cast<std::uint8_t>(0x80 >> (i % 8));
        return out;
    }

private:
    std::vector<bool> bits_;
};

std::vector<std::uint8_t> unescape(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> out;
    int zeros = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (zeros >= 2 && data[i] == 3) {
            zeros = 0;
            continue;
        }
        out.push_back(data[i]);
        zeros = data[i] == 0 ? zeros + 1 : 0;
    }
    return out;
}

// The payload of a sequence parameter set announcing heightInMbs macroblock
// rows; empty when it cannot be rewritten.
std::vector<std::uint8_t> rewriteSequence(const std::uint8_t* data, std::size_t size, std::uint32_t heightInMbs) {
    SequenceBits in(unescape(data, size));
    BitWriter out;
    const std::uint32_t profile = in.bits(8);
    out.bits(profile, 8);
    out.bits(in.bits(16), 16);  // constraint flags, level
    out.ue(in.ue());            // seq_parameter_set_id
    static const std::uint32_t chromaProfiles[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
    if (std::find(std::begin(chromaProfiles), std::end(chromaProfiles), profile) != std::end(chromaProfiles)) {
        const std::uint32_t chromaFormat = in.ue();
        out.ue(chromaFormat);
        if (chromaFormat == 3) out.bits(in.bit(), 1);
        out.ue(in.ue());  // bit depths
        out.ue(in.ue());
        out.bits(in.bit(), 1);         // qpprime_y_zero_transform_bypass_flag
        if (in.bit() != 0) return {};  // scaling lists
        out.bits(0, 1);
    }
    out.ue(in.ue());  // log2_max_frame_num_minus4
    const std::uint32_t orderType = in.ue();
    out.ue(orderType);
    if (orderType == 1) return {};
    if (orderType == 0) out.ue(in.ue());
    out.ue(in.ue());        // max_num_ref_frames
    out.bits(in.bit(), 1);  // gaps_in_frame_num_value_allowed_flag
    out.ue(in.ue());        // pic_width_in_mbs_minus1
    in.ue();
    out.ue(heightInMbs - 1);
    if (in.bit() != 1) return {};  // field pictures: map units are not rows
    out.bits(1, 1);
    // The rest, with its stop bit and the alignment.
    while (!in.atEnd()) out.bits(in.bit(), 1);
    return in.ok() ? withEmulationPrevention(out.bytes()) : std::vector<std::uint8_t>{};
}

} // namespace

std::vector<std::uint8_t> withEmulationPrevention(const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> out;
    int zeros = 0;
    for (std::uint8_t byte : payload) {
        if (zeros >= 2 && byte <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        out.push_back(byte);
        zeros = byte == 0 ? zeros + 1 : 0;
    }
    return out;
}

std::vector<std::vector<std::uint8_t>> withAnnouncedHeight(const std::vector<std::vector<std::uint8_t>>& units,
                                                           int height) {
    std::vector<std::vector<std::uint8_t>> rewritten;
    for (const std::vector<std::uint8_t>& unit : units) {
        std::vector<std::uint8_t> out;
        std::size_t code = AccessUnitSplitter::findStartCode(unit.data(), unit.size(), 0);
        out.insert(out.end(), unit.begin(), unit.begin() + static_cast<std::ptrdiff_t>(code));
        while (code < unit.size()) {
            const std::size_t payload = code + 3;
            std::size_t next = AccessUnitSplitter::findStartCode(unit.data(), unit.size(), payload);
            // Zero bytes before the next start code are not the NAL unit's.
            std::size_t end = next;
            while (end > payload && unit[end - 1] == 0) --end;
            out.insert(out.end(), unit.begin() + static_cast<std::ptrdiff_t>(code),
                       unit.begin() + static_cast<std::ptrdiff_t>(payload));
            if (end > payload && (unit[payload] & 0x1f) == 7) {
                const auto heightInMbs = static_cast<std::uint32_t>((height + 15) / 16);
                const std::vector<std::uint8_t> sequence =
                    rewriteSequence(unit.data() + payload + 1, end - payload - 1, heightInMbs);
                if (sequence.empty()) return {};
                out.push_back(unit[payload]);
                out.insert(out.end(), sequence.begin(), sequence.end());
            } else {
                out.insert(out.end(), unit.begin() + static_cast<std::ptrdiff_t>(payload),
                           unit.begin() + static_cast<std::ptrdiff_t>(end));
            }
            out.insert(out.end(), unit.begin() + static_cast<std::ptrdiff_t>(end),
                       unit.begin() + static_cast<std::ptrdiff_t>(next));
            code = next;
        }
        rewritten.push_back(std::move(out));
    }
    return rewritten;
}

std::vector<std::uint8_t> rgbReference(const std::string& yuvFile, int width, int height) {
    const std::vector<std::uint8_t> yuv = readBinaryFile(testStreamPath(yuvFile));
    const int chromaWidth = (width + 1) / 2, chromaHeight = (height + 1) / 2;
    const std::size_t frameSize = static_cast<std::size_t>(width) * height + 2 * chromaWidth * chromaHeight;
    std::vector<std::uint8_t> rgb;
    for (std::size_t at = 0; at + frameSize <= yuv.size(); at += frameSize) {
        std::vector<std::uint8_t> picture(static_cast<std::size_t>(width) * height * 3);
        const std::uint8_t* y = yuv.data() + at;
        const std::uint8_t* u = y + width * height;
        i420ToRgb24Scalar(y, u, u + chromaWidth * chromaHeight, width, chromaWidth, width, height, picture.data());
        rgb.insert(rgb.end(), picture.begin(), picture.end());
    }
    return rgb;
}

std::vector<std::uint8_t> frameBytes(const qor::VideoFrame& frame) {
    std::vector<std::uint8_t> bytes;
    for (int k = 0; k < 3; ++k) {
        const int rowBytes = frame.planeRowBytes(k);
        if (rowBytes <= 0) continue;
        for (int line = 0; line < frame.planeLines(k); ++line) {
            const std::uint8_t* row = frame.plane(k) + static_cast<std::ptrdiff_t>(line) * frame.lineSize(k);
            bytes.insert(bytes.end(), row, row + rowBytes);
        }
    }
    return bytes;
}

namespace {

// Keeps the bytes of one picture and gives the frame back.
void keepPicture(DecodeResult& result, qor::StreamDecoder& decoder, qor::VideoFrame* frame,
                 const qor::StreamDecoder::FormatTest& canvasSupports) {
    qor::VideoFrame* converted = nullptr;
    const qor::VideoFrame* shown = frame;
    if (!canvasSupports(frame->colorFormat())) {
        converted = decoder.convert(frame);
        shown = converted;
    }
    if (shown == nullptr) {
        ADD_FAILURE() << "conversion failed";
    } else {
        result.pictures.push_back(frameBytes(*shown));
        result.formats.push_back(std::to_string(shown->width()) + "x" + std::to_string(shown->height()) + " " +
                                 std::to_string(shown->colorFormat()));
    }
    qor::releaseVideoFrame(&converted);
    qor::releaseVideoFrame(&frame);
}

} // namespace

DecodeResult decodeAll(qor::StreamDecoder& decoder, const std::vector<std::vector<std::uint8_t>>& units,
                       const qor::StreamDecoder::FormatTest& canvasSupports) {
    DecodeResult result;
    for (const std::vector<std::uint8_t>& unit : units) {
        qor::VideoFrame* frame = decoder.allocFrame(decoder.outputColorFormat);
        if (!decoder.decode(unit.data(), static_cast<std::uint32_t>(unit.size()), &frame)) {
            ++result.failures;
            qor::releaseVideoFrame(&frame);
            continue;
        }
        keepPicture(result, decoder, frame, canvasSupports);
    }
    for (;;) {
        qor::VideoFrame* frame = decoder.allocFrame(decoder.outputColorFormat);
        if (!decoder.drain(&frame)) {
            qor::releaseVideoFrame(&frame);
            break;
        }
        ++result.drained;
        keepPicture(result, decoder, frame, canvasSupports);
    }
    return result;
}
