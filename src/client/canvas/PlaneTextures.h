// The three plane textures of a canvas: texture k carries plane k of a frame
// on texture unit k. Made once per GL context; GUI thread, context current.
// A texture's storage is allocated when the shape of what it carries
// (format and size) changes, and filled in place while it stays.
#pragma once

#include <QOpenGLFunctions_2_0>

struct PlaneUpload;

namespace qor {
class VideoFrame;
}

class PlaneTextures {
public:
    // Creates texture k on unit k (left active and bound) with nearest
    // filtering; returns its name.
    GLuint create(QOpenGLFunctions_2_0& gl, int k);
    GLuint name(int k) const { return names[k]; }

    // Loads the planes of a frame into the textures of their units.
    void loadFrame(QOpenGLFunctions_2_0& gl, const qor::VideoFrame& frame);
    // The 8 x 8 white picture of a blank screen into texture 0, on the
    // active unit.
    void loadBlank(QOpenGLFunctions_2_0& gl);
    // Binds texture k to unit k.
    void bind(QOpenGLFunctions_2_0& gl, int k);

    // Storage allocations since the textures were made (tests and
    // diagnostics).
    int allocations() const { return allocationCount; }

private:
    struct Shape {
        GLint internalFormat = 0;
        GLsizei width = 0;
        GLsizei height = 0;
        bool operator==(const Shape& other) const {
            return internalFormat == other.internalFormat && width == other.width && height == other.height;
        }
    };

    void load(QOpenGLFunctions_2_0& gl, const PlaneUpload& upload);

    GLuint names[3] = {0, 0, 0};
    Shape shapes[3];
    int allocationCount = 0;
};
