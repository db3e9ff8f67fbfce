// Colour-format codes of decoded pictures and their names. The table is
// constant data: read from any thread without locking.
#pragma once

#include <string>

namespace ColorFormat {
constexpr int YUV420P = 0;
constexpr int YUV444P = 6;
constexpr int NV12 = 30;
constexpr int RGB24 = 125;
constexpr int RGBA = 147;
constexpr int GBRP = 160;
// Ten-bit RGB in four bytes per pixel (2-10-10-10); it has no name.
constexpr int RGB10 = 210;
constexpr int NONE = 99999;
} // namespace ColorFormat

struct ColorFormatInfo {
    int code;
    const char* name;
    int defaultBitDepth;
};

// Rows in table order; the row NONE ends it and never matches a lookup.
extern const ColorFormatInfo colorFormatTable[];

// The table row of a code, or null (also for NONE and 210).
const ColorFormatInfo* findColorFormat(int code);

// "NV12" or, with the code, "NV12 (30)"; "UNKNOWN COLOR FORMAT" without a row.
std::string colorFormatName(int code, bool withCode = false);

// Layout of the planes that the canvas draws without copying: bytes of one
// line of plane k (a whole row of that plane) for a picture of the given
// width, and how many image rows one line covers. 4:2:0 chroma planes are
// ceil(w / 2) samples wide and ceil(h / 2) lines high. Planes a format does
// not use have line size 0. Formats without a layout give 0 for every plane.
// A negative width, or one whose line does not fit 32 bits, gives -1.
int canonicalLineSize(int colorFormat, int width, int plane);
int canonicalRowsPerLine(int colorFormat, int plane);
