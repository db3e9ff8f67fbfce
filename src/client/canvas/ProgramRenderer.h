// The families whose pictures a GLSL program converts to RGB (planar YUV
// 4:2:0 and 4:4:4, NV12, planar GBR): drawn only with their program linked,
// each plane k sampled from unit k.
#pragma once

#include "FrameRenderer.h"
#include "PixelFamily.h"
#include "ShaderProgram.h"

class PlaneTextures;

class ProgramRenderer : public FrameRenderer {
public:
    ProgramRenderer(QOpenGLFunctions_2_0& gl, PlaneTextures& textures, const ShaderProgram& program, PixelFamily family);

    bool ready() const override { return program.linked; }
    void upload(const qor::VideoFrame& frame) override;
    void prepareDraw(bool quadsMode) override;

private:
    QOpenGLFunctions_2_0& gl;
    PlaneTextures& textures;
    const ShaderProgram& program;
    const int planes;
};
