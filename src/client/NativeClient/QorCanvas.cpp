#include "QorCanvas.h"

namespace qor {

void QorCanvas::presentFrame(VideoFrame*) {}

std::string QorCanvas::canvasName() const { return "QorCanvas"; }

void QorCanvas::setCanvasId(int id) { canvasId_ = id; }

bool QorCanvas::resizeCanvas(int, int) { return false; }

} // namespace qor
