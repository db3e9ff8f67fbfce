// Planar YUV 4:2:0 (8 bits) to packed RGB24 with the BT.601 limited-range
// matrix in 6-bit fixed point. The chroma planes hold ceil(height / 2) rows
// of ceil(width / 2) samples; each chroma sample serves the 2 x 2 block
// over it. The destination receives height rows of 3 x width bytes, with no
// gap. No alignment is needed; nothing outside the given rows is read or
// written.
#pragma once

#include <cstdint>

void i420ToRgb24(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v, int lumaStride,
                 int chromaStride, int width, int height, std::uint8_t* destination);

// The plain per-pixel version; i420ToRgb24 gives exactly its bytes.
void i420ToRgb24Scalar(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v, int lumaStride,
                       int chromaStride, int width, int height, std::uint8_t* destination);
