// The H.264 test streams that make-streams.sh makes with ffmpeg, and small
// helpers to feed them through a decoder.
#pragma once

#include "StreamDecoder.h"
#include "VideoFrame.h"

#include <cstdint>
#include <string>
#include <vector>

// Folder of the streams; makes them when a run outside ctest needs them.
const std::string& testStreamDir();
std::string testStreamPath(const std::string& file);
std::vector<std::uint8_t> readBinaryFile(const std::string& path);
// The access units of a stream file.
std::vector<std::vector<std::uint8_t>> readAccessUnits(const std::string& streamFile);

// A NAL unit's payload as its stream carries it: with an emulation-
// prevention byte 0x03 between two zero bytes and a byte of 0x00 to 0x03.
std::vector<std::uint8_t> withEmulationPrevention(const std::vector<std::uint8_t>& payload);

// The access units with every sequence parameter set rewritten to announce
// pictures of the given height (rounded up to whole macroblocks), the rest
// of each set as it was; the slices still cover the rows they were coded
// for. Empty when a set cannot be rewritten (field pictures, scaling lists).
std::vector<std::vector<std::uint8_t>> withAnnouncedHeight(const std::vector<std::vector<std::uint8_t>>& units,
                                                           int height);

// The client's RGB24 conversion of every frame of a raw YUV420p file of
// the stream folder.
std::vector<std::uint8_t> rgbReference(const std::string& yuvFile, int width, int height);

// The visible bytes of every plane of a frame, line after line.
std::vector<std::uint8_t> frameBytes(const qor::VideoFrame& frame);

struct DecodeResult {
    std::vector<std::vector<std::uint8_t>> pictures;  // visible bytes per picture
    std::vector<std::string> formats;                 // "WxH code" per picture
    int failures = 0;
    int drained = 0;  // pictures that came at the end of the stream
};

// Feeds every access unit to the decoder as the decoder thread does and
// keeps each picture, then the pictures the decoder still holds at the end
// of the stream; pictures the canvas test refuses are converted first.
DecodeResult decodeAll(qor::StreamDecoder& decoder, const std::vector<std::vector<std::uint8_t>>& units,
                       const qor::StreamDecoder::FormatTest& canvasSupports);
