#include "QorCanvas.h"

#include "VideoFrame.h"

namespace qor {

// A canvas that draws nothing still owns what it is handed.
void QorCanvas::presentFrame(VideoFrame* frame) { releaseVideoFrame(&frame); }

std::string QorCanvas::canvasName() const { return "QorCanvas"; }

void QorCanvas::setCanvasId(int id) { canvasId_.store(id); }

bool QorCanvas::resizeCanvas(int, int) { return false; }

} // namespace qor
