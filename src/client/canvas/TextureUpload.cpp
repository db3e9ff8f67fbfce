#include "TextureUpload.h"

#include "ColorFormat.h"
#include "VideoFrame.h"

namespace {

struct UploadShape {
    int plane;
    unsigned internalFormat;
    bool chroma420;
    unsigned format;
    unsigned type;
    int bytesPerTexel;
    // Image rows one line of the plane covers.
    int rowsPerLine;
};

constexpr UploadShape luma{0, TextureUpload::GL_R8_, false, TextureUpload::GL_RED_, TextureUpload::GL_UNSIGNED_BYTE_, 1, 1};

// Shapes in upload order; the unit of a shape is its plane.
int uploadShapes(int colorFormat, UploadShape shapes[3]) {
    const unsigned byteType = TextureUpload::GL_UNSIGNED_BYTE_;
    switch (colorFormat) {
    case ColorFormat::YUV420P:
        shapes[0] = {2, TextureUpload::GL_R8_, true, TextureUpload::GL_RED_, byteType, 1, 2};
        shapes[1] = {1, TextureUpload::GL_R8_, true, TextureUpload::GL_RED_, byteType, 1, 2};
        shapes[2] = luma;
        return 3;
    case ColorFormat::YUV444P:
    case ColorFormat::GBRP:
        shapes[0] = luma;
        shapes[0].plane = 2;
        shapes[1] = luma;
        shapes[1].plane = 1;
        shapes[2] = luma;
        return 3;
    case ColorFormat::NV12:
        shapes[0] = {1, TextureUpload::GL_RG16_, true, TextureUpload::GL_RG_, byteType, 2, 2};
        shapes[1] = luma;
        return 2;
    case ColorFormat::RGB24:
        shapes[0] = {0, TextureUpload::GL_RGB_, false, TextureUpload::GL_RGB_, byteType, 3, 1};
        return 1;
    case ColorFormat::RGBA:
        shapes[0] = {0, TextureUpload::GL_RGBA_, false, TextureUpload::GL_RGBA_, byteType, 4, 1};
        return 1;
    case ColorFormat::RGB10:
        shapes[0] = {0, TextureUpload::GL_RGB10_A2_, false, TextureUpload::GL_RGBA_,
                     TextureUpload::GL_UNSIGNED_INT_2_10_10_10_REV_, 4, 1};
        return 1;
    default:
        return 0;
    }
}

} // namespace

int TextureUpload::planeUploads(const qor::VideoFrame& frame, PlaneUpload uploads[3]) {
    UploadShape shapes[3];
    const int count = uploadShapes(frame.colorFormat(), shapes);
    const int w = frame.width();
    const int h = frame.height();
    for (int i = 0; i < count; ++i) {
        const UploadShape& shape = shapes[i];
        PlaneUpload& upload = uploads[i];
        upload.unit = shape.plane;
        upload.plane = shape.plane;
        upload.internalFormat = shape.internalFormat;
        upload.width = shape.chroma420 ? (w + 1) / 2 : w;
        upload.height = shape.chroma420 ? (h + 1) / 2 : h;
        upload.format = shape.format;
        upload.type = shape.type;
        upload.bytesPerTexel = shape.bytesPerTexel;
        const int line = frame.lineSize(shape.plane);
        const bool tight = line == upload.width * shape.bytesPerTexel;
        upload.rowLength = tight || line % shape.bytesPerTexel != 0 ? 0 : line / shape.bytesPerTexel;
        upload.data = frame.plane(shape.plane);
    }
    return count;
}

bool TextureUpload::drawableAsIs(const qor::VideoFrame& frame) {
    UploadShape shapes[3];
    const int count = uploadShapes(frame.colorFormat(), shapes);
    if (count == 0) return false;
    const int w = frame.width();
    for (int i = 0; i < count; ++i) {
        const UploadShape& shape = shapes[i];
        const int textureWidth = shape.chroma420 ? (w + 1) / 2 : w;
        const int line = frame.lineSize(shape.plane);
        if (frame.plane(shape.plane) == nullptr) return false;
        if (line < textureWidth * shape.bytesPerTexel || line % shape.bytesPerTexel != 0) return false;
        if (frame.rowsPerLine(shape.plane) != shape.rowsPerLine) return false;
    }
    return true;
}

long long TextureUpload::bytesRead(const PlaneUpload& upload) {
    if (upload.width <= 0 || upload.height <= 0) return 0;
    const long long stride = static_cast<long long>(upload.rowLength > 0 ? upload.rowLength : upload.width) *
                             upload.bytesPerTexel;
    return stride * (upload.height - 1) + static_cast<long long>(upload.width) * upload.bytesPerTexel;
}
