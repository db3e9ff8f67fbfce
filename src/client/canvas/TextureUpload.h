// How the planes of a frame become textures: for every colour format the
// canvas draws, which texture unit takes which plane, in which GL format and
// size, and how the plane's real line layout is described to GL (row length
// in texels, byte alignment), so that lines of any width are read unsheared
// and nothing is read past a plane. Pure computation: no GL calls.
#pragma once

#include <cstdint>

namespace qor {
class VideoFrame;
}

struct PlaneUpload {
    int unit = 0;
    int plane = 0;
    unsigned internalFormat = 0;
    int width = 0;
    int height = 0;
    unsigned format = 0;
    unsigned type = 0;
    int bytesPerTexel = 1;
    // Texels from the start of one line to the start of the next
    // (GL_UNPACK_ROW_LENGTH); 0 when the lines are tight.
    int rowLength = 0;
    const std::uint8_t* data = nullptr;
};

class TextureUpload {
public:
    static constexpr unsigned GL_RED_ = 0x1903;
    static constexpr unsigned GL_RG_ = 0x8227;
    static constexpr unsigned GL_R8_ = 0x8229;
    static constexpr unsigned GL_RG16_ = 0x822C;
    static constexpr unsigned GL_RGB_ = 0x1907;
    static constexpr unsigned GL_RGBA_ = 0x1908;
    static constexpr unsigned GL_RGB10_A2_ = 0x8059;
    static constexpr unsigned GL_UNSIGNED_BYTE_ = 0x1401;
    static constexpr unsigned GL_UNSIGNED_INT_2_10_10_10_REV_ = 0x8368;

    // The uploads of a frame in the order they are made (chroma before
    // luma); returns their number, 0 for a colour format the canvas does not
    // draw. 4:2:0 chroma textures have the planes' own size, ceil(w / 2) x
    // ceil(h / 2).
    static int planeUploads(const qor::VideoFrame& frame, PlaneUpload uploads[3]);

    // True when every plane can be uploaded as it lies: present, lines at
    // least one texture row long, a whole number of texels apart, and one
    // line per texture row. Other frames need a copy first.
    static bool drawableAsIs(const qor::VideoFrame& frame);

    // Bytes from the first byte GL reads for the upload to one past the
    // last, given its row length and an unpack alignment of 1.
    static long long bytesRead(const PlaneUpload& upload);
};
