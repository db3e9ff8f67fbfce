#include "FrameRenderers.h"

#include "ProgramRenderer.h"
#include "RgbRenderer.h"

FrameRenderers::FrameRenderers(QOpenGLFunctions_2_0& gl, PlaneTextures& textures,
                               const std::function<const ShaderProgram&(PixelFamily)>& programOf) {
    for (PixelFamily family : {PixelFamily::YUV420p, PixelFamily::YUV444p, PixelFamily::NV12, PixelFamily::RGBp}) {
        renderers[static_cast<int>(family)] =
            std::make_unique<ProgramRenderer>(gl, textures, programOf(family), family);
    }
    renderers[static_cast<int>(PixelFamily::RGB)] =
        std::make_unique<RgbRenderer>(gl, textures, programOf(PixelFamily::RGB));
}

FrameRenderer* FrameRenderers::forFormat(int colorFormat) const {
    PixelFamily family;
    return pixelFamilyOf(colorFormat, family) ? renderers[static_cast<int>(family)].get() : nullptr;
}

std::unique_ptr<FrameRenderer> FrameRenderers::exchange(PixelFamily family, std::unique_ptr<FrameRenderer> renderer) {
    renderers[static_cast<int>(family)].swap(renderer);
    return renderer;
}
