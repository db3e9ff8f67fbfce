#include "DecoderFixtures.h"

#include "DecodedFrameAllocator.h"
#include "TestStreams.h"
#include "VideoFrame.h"

#include <Poco/Thread.h>

#include <chrono>

RecordingCanvas::RecordingCanvas(std::set<int> drawableFormats, int id)
    : QorCanvas(0, 0), drawable_(std::move(drawableFormats)) {
    setCanvasId(id);
}

RecordingCanvas::~RecordingCanvas() { qor::releaseVideoFrame(&held_); }

void RecordingCanvas::presentFrame(qor::VideoFrame* frame) {
    std::lock_guard<std::mutex> guard(mutex);
    if (frame == nullptr) {
        ++nullFrames;
        return;
    }
    pictures.push_back(frameBytes(*frame));
    formats.push_back(std::to_string(frame->width()) + "x" + std::to_string(frame->height()) + " " +
                      std::to_string(frame->colorFormat()));
    Poco::Thread* current = Poco::Thread::current();
    presenters.push_back(current ? current->getName() : std::string("?"));
    if (frame->allocator == &decodedFrameAllocator) pooledFramesSeen.insert(frame);
    qor::releaseVideoFrame(&held_);
    held_ = frame;
    presented_.notify_all();
}

void RecordingCanvas::resetFrames() {
    {
        std::lock_guard<std::mutex> guard(mutex);
        qor::releaseVideoFrame(&held_);
    }
    ScopedOwnerLock slot(frameLocks[0]);
    decoderAttached = false;
    ++resets;
}

bool RecordingCanvas::waitForFrames(std::size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> guard(mutex);
    return presented_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                               [&] { return pictures.size() >= count; });
}

std::size_t RecordingCanvas::frameCount() {
    std::lock_guard<std::mutex> guard(mutex);
    return pictures.size();
}

EventSink::EventSink() : QorEventThread(false) { setName("Session 1"); }

std::vector<Poco::AutoPtr<qor::BaseEvent>> EventSink::drain() {
    std::vector<Poco::AutoPtr<qor::BaseEvent>> events;
    while (queuedEvents() > 0) events.push_back(waitForEvent());
    return events;
}

bool inFramePool(const qor::VideoFrame* frame) {
    for (const qor::VideoFrame* pooled = qor::DecodedFrameAllocator::poolHead(); pooled != nullptr;
         pooled = pooled->nextFree) {
        if (pooled == frame) return true;
    }
    return false;
}
