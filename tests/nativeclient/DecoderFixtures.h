// Stand-ins for the decoder thread's neighbours: a canvas that records every
// frame presented to it (bytes, format, presenting thread) and gives each
// back to its allocator as the window does, and an event target that keeps
// what the decoder reports to the server connection.
#pragma once

#include "QorCanvas.h"
#include "QorEventThread.h"

#include <Poco/AutoPtr.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace qor {
class VideoFrame;
}

class RecordingCanvas : public qor::QorCanvas {
public:
    RecordingCanvas(std::set<int> drawableFormats, int id);
    ~RecordingCanvas() override;

    bool supportsColorFormat(int colorFormat) override { return drawable_.count(colorFormat) != 0; }
    // Keeps the newest frame as the window's slot does and releases the one
    // it replaces.
    void presentFrame(qor::VideoFrame* frame) override;
    void clearScreen() override {}
    void refreshScreen() override { ++refreshes; }
    void deleteCanvasObject() override {}
    void resetFrames() override;

    // Waits until that many frames were presented; false on time-out.
    bool waitForFrames(std::size_t count, int timeoutMs);
    std::size_t frameCount();

    std::mutex mutex;
    std::vector<std::vector<std::uint8_t>> pictures;  // visible bytes
    std::vector<std::string> formats;                 // "WxH code"
    std::vector<std::string> presenters;              // thread names
    std::set<const qor::VideoFrame*> pooledFramesSeen;
    std::atomic<int> refreshes{0};
    std::atomic<int> resets{0};
    std::atomic<int> nullFrames{0};

private:
    std::set<int> drawable_;
    std::condition_variable presented_;
    qor::VideoFrame* held_ = nullptr;
};

// The decoder's target; never started: events stay queued until drained.
class EventSink : public qor::QorEventThread {
public:
    EventSink();
    void eventLoop() override {}
    std::vector<Poco::AutoPtr<qor::BaseEvent>> drain();
};

// True when the frame sits in the pool of decoded frames.
bool inFramePool(const qor::VideoFrame* frame);
