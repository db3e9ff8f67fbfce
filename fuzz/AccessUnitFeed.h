// Feeds an input through the AccessUnitSplitter and one stream decoder as
// the decoder thread of a screen does: one access unit at a time, each
// picture converted when the canvas cannot draw its format. The input
// starts with a header of five bytes, the rest is the H.264 byte stream:
//
//   byte 0   bit 0: the decoder outputs RGB24 (else its own format);
//            bits 1-2: what the canvas draws: 0 YUV420p, 1 RGB24,
//            2 the five formats of the canvas, 3 none (every picture is
//            converted)
//   byte 1-2 the announced width, big-endian, its low 12 bits
//   byte 3-4 the announced height, big-endian, its low 12 bits
//
// Every line of every plane that a picture announces is read through, so
// that AddressSanitizer sees a frame whose planes are smaller than its size
// and line sizes say.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// Registers the decoder kinds once (FFmpeg is loaded when present).
void registerStreamDecoders();
// Decodes the input with the named decoder kind ("OpenH264", "LibAVH264").
void feedAccessUnits(const std::string& decoderName, const std::uint8_t* data, std::size_t size);

} // namespace fuzz
