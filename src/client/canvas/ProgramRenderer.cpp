#include "ProgramRenderer.h"

#include "PlaneTextures.h"
#include "ShaderLoader.h"

ProgramRenderer::ProgramRenderer(QOpenGLFunctions_2_0& gl, PlaneTextures& textures, const ShaderProgram& program,
                                 PixelFamily family)
    : gl(gl), textures(textures), program(program), planes(ShaderLoader::samplerCount(family)) {}

void ProgramRenderer::upload(const qor::VideoFrame& frame) { textures.loadFrame(gl, frame); }

void ProgramRenderer::prepareDraw(bool) {
    // The samplers were set to their units when the program was built.
    gl.glUseProgram(program.program);
    for (int k = 0; k < planes; ++k) textures.bind(gl, k);
}
