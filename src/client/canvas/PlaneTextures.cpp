#include "PlaneTextures.h"

#include "TextureUpload.h"

#include <cstring>

namespace {

// The 8 x 8 white picture of a blank screen, one byte per texel.
unsigned char whiteTexels[64];

} // namespace

GLuint PlaneTextures::create(QOpenGLFunctions_2_0& gl, int k) {
    gl.glActiveTexture(GL_TEXTURE0 + k);
    gl.glGenTextures(1, &names[k]);
    shapes[k] = Shape();
    gl.glBindTexture(GL_TEXTURE_2D, names[k]);
    gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    return names[k];
}

void PlaneTextures::loadFrame(QOpenGLFunctions_2_0& gl, const qor::VideoFrame& frame) {
    PlaneUpload uploads[3];
    const int count = TextureUpload::planeUploads(frame, uploads);
    // Rows are described exactly: any width, any line size.
    gl.glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    for (int i = 0; i < count; ++i) load(gl, uploads[i]);
    gl.glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    gl.glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
}

void PlaneTextures::load(QOpenGLFunctions_2_0& gl, const PlaneUpload& upload) {
    gl.glActiveTexture(GL_TEXTURE0 + upload.unit);
    gl.glBindTexture(GL_TEXTURE_2D, names[upload.unit]);
    gl.glPixelStorei(GL_UNPACK_ROW_LENGTH, upload.rowLength);
    const Shape shape{static_cast<GLint>(upload.internalFormat), upload.width, upload.height};
    if (shape == shapes[upload.unit]) {
        gl.glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, upload.width, upload.height, upload.format, upload.type,
                           upload.data);
        return;
    }
    gl.glTexImage2D(GL_TEXTURE_2D, 0, shape.internalFormat, upload.width, upload.height, 0, upload.format,
                    upload.type, upload.data);
    shapes[upload.unit] = shape;
    ++allocationCount;
}

void PlaneTextures::loadBlank(QOpenGLFunctions_2_0& gl) {
    std::memset(whiteTexels, 0xFF, sizeof whiteTexels);
    gl.glBindTexture(GL_TEXTURE_2D, names[0]);
    gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    gl.glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    gl.glTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE, 8, 8, 0, GL_LUMINANCE, GL_UNSIGNED_BYTE, whiteTexels);
    shapes[0] = Shape{GL_LUMINANCE, 8, 8};
    gl.glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    gl.glBindTexture(GL_TEXTURE_2D, names[0]);
}

void PlaneTextures::bind(QOpenGLFunctions_2_0& gl, int k) {
    gl.glActiveTexture(GL_TEXTURE0 + k);
    gl.glBindTexture(GL_TEXTURE_2D, names[k]);
}
