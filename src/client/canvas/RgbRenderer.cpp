#include "RgbRenderer.h"

#include "PlaneTextures.h"

RgbRenderer::RgbRenderer(QOpenGLFunctions_2_0& gl, PlaneTextures& textures, const ShaderProgram& program)
    : gl(gl), textures(textures), program(program) {}

void RgbRenderer::upload(const qor::VideoFrame& frame) { textures.loadFrame(gl, frame); }

void RgbRenderer::prepareDraw(bool quadsMode) {
    // In quads mode RGB is drawn by the fixed pipeline, never by a
    // colour-conversion program left current by an earlier frame.
    gl.glUseProgram(quadsMode ? 0 : program.program);
    textures.bind(gl, 0);
}
