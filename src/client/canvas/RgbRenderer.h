// Packed RGB pictures (RGB24, RGBA, 10-bit RGB) from texture 0: with the RGB
// program when triangles are drawn (none selected when it was not built),
// by the fixed pipeline when quads are drawn.
#pragma once

#include "FrameRenderer.h"
#include "ShaderProgram.h"

class PlaneTextures;

class RgbRenderer : public FrameRenderer {
public:
    RgbRenderer(QOpenGLFunctions_2_0& gl, PlaneTextures& textures, const ShaderProgram& program);

    bool ready() const override { return true; }
    void upload(const qor::VideoFrame& frame) override;
    void prepareDraw(bool quadsMode) override;

private:
    QOpenGLFunctions_2_0& gl;
    PlaneTextures& textures;
    const ShaderProgram& program;
};
