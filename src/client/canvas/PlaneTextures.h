// The three plane textures of a canvas: texture k carries plane k of a frame
// on texture unit k. Made once per GL context; GUI thread, context current.
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

private:
    void load(QOpenGLFunctions_2_0& gl, const PlaneUpload& upload);

    GLuint names[3] = {0, 0, 0};
};
