// Draws the frames of one pixel family: loads a frame's planes into the
// canvas's plane textures and readies the family's program and textures for
// the draw of the picture rectangle. One implementation per kind of family,
// one instance per family, chosen by colour code in FrameRenderers. GUI
// thread, the canvas's GL context current.
#pragma once

namespace qor {
class VideoFrame;
}

class FrameRenderer {
public:
    virtual ~FrameRenderer() = default;

    // False while the family cannot be drawn (its program did not link):
    // the paint then draws nothing.
    virtual bool ready() const = 0;
    // Loads the frame's planes into the textures of their units.
    virtual void upload(const qor::VideoFrame& frame) = 0;
    // Selects the program the draw uses in the render mode and binds the
    // family's textures to their units.
    virtual void prepareDraw(bool quadsMode) = 0;

protected:
    FrameRenderer() = default;
    FrameRenderer(const FrameRenderer&) = default;
    FrameRenderer& operator=(const FrameRenderer&) = default;
};
