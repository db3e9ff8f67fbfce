// A canvas for tests: records what the connection and decoding threads do
// to it.
#pragma once

#include "QorCanvas.h"
#include "VideoFrame.h"

#include <atomic>

class FakeCanvas : public qor::QorCanvas {
public:
    explicit FakeCanvas(int id) : QorCanvas(0, 0) { setCanvasId(id); }
    bool supportsColorFormat(int format) override { return format == 0; }
    void presentFrame(qor::VideoFrame* frame) override;
    void clearScreen() override { ++clears; }
    void refreshScreen() override {}
    void deleteCanvasObject() override { ++deletes; }
    void resetFrames() override {}

    std::atomic<int> frames{0};
    std::atomic<int> clears{0};
    std::atomic<int> deletes{0};
};
