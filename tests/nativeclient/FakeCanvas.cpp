#include "FakeCanvas.h"

void FakeCanvas::presentFrame(qor::VideoFrame* frame) {
    ++frames;
    qor::releaseVideoFrame(&frame);
}
