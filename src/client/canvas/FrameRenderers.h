// The table that chooses the renderer of a frame by its colour code: one
// renderer per pixel family, made once per GL context over the canvas's GL
// functions, plane textures and programs.
#pragma once

#include "FrameRenderer.h"
#include "PixelFamily.h"
#include "ShaderProgram.h"

#include <functional>
#include <memory>

class PlaneTextures;

class FrameRenderers {
public:
    FrameRenderers(QOpenGLFunctions_2_0& gl, PlaneTextures& textures,
                   const std::function<const ShaderProgram&(PixelFamily)>& programOf);

    // The renderer of the colour code; null for a code the canvas cannot
    // draw.
    FrameRenderer* forFormat(int colorFormat) const;
    // Puts another renderer in the family's place and returns the one it
    // replaces (tests watch a renderer this way).
    std::unique_ptr<FrameRenderer> exchange(PixelFamily family, std::unique_ptr<FrameRenderer> renderer);

private:
    std::unique_ptr<FrameRenderer> renderers[pixelFamilyCount];
};
