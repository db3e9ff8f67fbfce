// The drawing surface of one remote screen, as the connection and decoding
// threads see it. The window class of the canvas subsystem implements it;
// everything it does to the widget is queued to the GUI thread.
#pragma once

#include "OwnerLock.h"

#include <atomic>
#include <string>

namespace qor {

class VideoFrame;

class QorCanvas {
public:
    QorCanvas(int width, int height) : width(width), height(height) {}
    QorCanvas(const QorCanvas&) = delete;
    QorCanvas& operator=(const QorCanvas&) = delete;

    virtual bool supportsColorFormat(int colorFormat) = 0;
    // Takes over the frame (it goes back to its allocator when replaced).
    virtual void presentFrame(VideoFrame* frame);
    virtual std::string canvasName() const;
    virtual void setCanvasId(int id);
    virtual ~QorCanvas() = default;
    virtual void clearScreen() = 0;
    virtual void refreshScreen() = 0;
    virtual bool resizeCanvas(int width, int height);
    virtual void deleteCanvasObject() = 0;
    virtual void resetFrames() = 0;

    // Written by the connection's threads under the canvas registry's lock,
    // read by the window on the GUI thread without it.
    int canvasId() const { return canvasId_.load(); }

    int width;
    int height;
    // Set by a screen's decoder once it is set up on this canvas; guarded by
    // frameLocks[0]. The window draws video only while it is set.
    std::atomic<bool> decoderAttached{false};
    OwnerLock frameLocks[2];

private:
    std::atomic<int> canvasId_{-1};
};

// Canvas ids besides the screens' display numbers 0 and up.
constexpr int CANVAS_ID_UNASSIGNED = -1;
constexpr int CANVAS_ID_CONTROL_WINDOW = -42;

} // namespace qor
