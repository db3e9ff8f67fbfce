#include "ColorFormat.h"

#include <limits>

const ColorFormatInfo colorFormatTable[] = {
    {0, "YUV420p", 8},   {1, "YUV400p", 8},   {2, "YUV410p", 8},  {3, "YUV411p", 8},
    {4, "YUV422p", 8},   {5, "YUV440p", 8},   {6, "YUV444p", 8},  {30, "NV12", 8},
    {31, "NV21", 8},     {124, "BGR24", 8},   {125, "RGB24", 8},  {128, "BGR48", 8},
    {129, "RGB48", 8},   {132, "BGR444", 8},  {133, "RGB444", 8}, {144, "ABGR", 8},
    {145, "ARGB", 8},    {146, "BGRA", 8},    {147, "RGBA", 8},   {160, "GBRP", 8},
    {180, "BGRA64", 8},  {181, "RGBA64", 8},  {ColorFormat::NONE, "NONE", 8},
};

const ColorFormatInfo* findColorFormat(int code) {
    for (const ColorFormatInfo* row = colorFormatTable; row->code != ColorFormat::NONE; ++row) {
        if (row->code == code) return row;
    }
    return nullptr;
}

std::string colorFormatName(int code, bool withCode) {
    const ColorFormatInfo* row = findColorFormat(code);
    if (row == nullptr) return "UNKNOWN COLOR FORMAT";
    std::string name = row->name;
    if (withCode) name += " (" + std::to_string(code) + ")";
    return name;
}

int canonicalLineSize(int colorFormat, int width, int plane) {
    // In 64 bits: three or four bytes per pixel of a wide picture overflow.
    const long long w = width;
    const long long halfWidth = (w + 1) / 2;
    long long size = 0;
    switch (colorFormat) {
    case ColorFormat::YUV420P:
        size = plane == 0 ? w : halfWidth;
        break;
    case ColorFormat::YUV444P:
    case ColorFormat::GBRP:
        size = w;
        break;
    case ColorFormat::NV12:
        size = plane == 0 ? w : plane == 1 ? 2 * halfWidth : 0;
        break;
    case ColorFormat::RGB24:
        size = plane == 0 ? 3 * w : 0;
        break;
    case ColorFormat::RGBA:
    case ColorFormat::RGB10:
        size = plane == 0 ? 4 * w : 0;
        break;
    default:
        return 0;
    }
    return size < 0 || size > std::numeric_limits<int>::max() ? -1 : static_cast<int>(size);
}

int canonicalRowsPerLine(int colorFormat, int plane) {
    if (plane > 0 && (colorFormat == ColorFormat::YUV420P || colorFormat == ColorFormat::NV12)) return 2;
    return 1;
}
