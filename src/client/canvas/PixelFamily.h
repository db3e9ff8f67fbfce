// The pixel-format families the canvas draws, each with a GLSL program of
// its own: planar YUV 4:2:0, planar YUV 4:4:4, NV12, planar GBR and packed
// RGB (RGB24, RGBA, 10-bit RGB).
#pragma once

#include "ColorFormat.h"

enum class PixelFamily { YUV420p, YUV444p, NV12, RGBp, RGB };

constexpr int pixelFamilyCount = 5;

// The family that draws a colour code; false for a code the canvas cannot
// draw.
inline bool pixelFamilyOf(int colorFormat, PixelFamily& family) {
    switch (colorFormat) {
    case ColorFormat::YUV420P: family = PixelFamily::YUV420p; return true;
    case ColorFormat::YUV444P: family = PixelFamily::YUV444p; return true;
    case ColorFormat::NV12: family = PixelFamily::NV12; return true;
    case ColorFormat::GBRP: family = PixelFamily::RGBp; return true;
    case ColorFormat::RGB24:
    case ColorFormat::RGBA:
    case ColorFormat::RGB10: family = PixelFamily::RGB; return true;
    default: return false;
    }
}
