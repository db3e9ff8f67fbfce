#include "TestStreams.h"

#include "AccessUnitSplitter.h"
#include "I420ToRgb24.h"

#include <gtest/gtest.h>

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
