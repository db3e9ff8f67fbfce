#include "PresentLatencyLog.h"

#include "QorCanvas.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

namespace qor {

namespace {

// Hand-over times of the newest frames of a canvas, by frame number.
constexpr std::uint64_t KEPT_TIMES = 256;

struct CanvasTimes {
    std::uint64_t handedOverCount = 0;
    std::int64_t handedOver[KEPT_TIMES] = {};
    std::uint64_t lastShown = 0;
    // The paint in progress: the newest frame when it started, 0 = none.
    std::uint64_t paintFrame = 0;
    std::int64_t paintStart = 0;
    std::int64_t paintEnd = 0;
};

struct LogState {
    std::mutex lock;
    std::FILE* file = nullptr;
    std::map<const QorCanvas*, CanvasTimes> canvases;
};

LogState* openLog() {
    const char* path = std::getenv("QDK_PRESENT_LOG");
    if (path == nullptr || *path == '\0') return nullptr;
    std::FILE* file = std::fopen(path, "w");
    if (file == nullptr) {
        std::fprintf(stderr, "QDK_PRESENT_LOG: cannot write %s\n", path);
        return nullptr;
    }
    auto* state = new LogState; // lives as long as the program
    state->file = file;
    return state;
}

LogState* logState() {
    static LogState* const state = openLog();
    return state;
}

// The times of a canvas with a paint in progress, else null (lock held).
CanvasTimes* paintInProgress(LogState& state, const QorCanvas* canvas) {
    auto found = state.canvases.find(canvas);
    return found != state.canvases.end() && found->second.paintFrame != 0 ? &found->second : nullptr;
}

} // namespace

bool PresentLatencyLog::enabled() { return logState() != nullptr; }

std::int64_t PresentLatencyLog::now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void PresentLatencyLog::presented(const QorCanvas* canvas, std::int64_t handedOver) {
    LogState* state = logState();
    if (state == nullptr) return;
    std::lock_guard<std::mutex> guard(state->lock);
    CanvasTimes& times = state->canvases[canvas];
    ++times.handedOverCount;
    times.handedOver[times.handedOverCount % KEPT_TIMES] = handedOver;
}

void PresentLatencyLog::paintStarted(const QorCanvas* canvas) {
    LogState* state = logState();
    if (state == nullptr) return;
    const std::int64_t start = now();
    std::lock_guard<std::mutex> guard(state->lock);
    CanvasTimes& times = state->canvases[canvas];
    if (times.paintFrame != 0) return; // a second paint before the window was composed
    times.paintFrame = times.handedOverCount;
    times.paintStart = start;
    times.paintEnd = 0;
}

void PresentLatencyLog::painted(const QorCanvas* canvas) {
    LogState* state = logState();
    if (state == nullptr) return;
    const std::int64_t end = now();
    std::lock_guard<std::mutex> guard(state->lock);
    CanvasTimes* times = paintInProgress(*state, canvas);
    if (times != nullptr && times->paintEnd == 0) times->paintEnd = end;
}

void PresentLatencyLog::swapped(const QorCanvas* canvas) {
    LogState* state = logState();
    if (state == nullptr) return;
    const std::int64_t shown = now();
    std::lock_guard<std::mutex> guard(state->lock);
    CanvasTimes* painting = paintInProgress(*state, canvas);
    if (painting == nullptr) return;
    CanvasTimes& times = *painting;
    const std::uint64_t frame = times.paintFrame;
    times.paintFrame = 0;
    // Only frames whose hand-over time is still kept count.
    if (frame <= times.lastShown || times.handedOverCount - frame >= KEPT_TIMES) return;
    const std::uint64_t neverShown = times.lastShown == 0 ? 0 : frame - times.lastShown - 1;
    times.lastShown = frame;
    std::fprintf(state->file, "%lld %lld %lld %lld %llu %llu\n",
                 static_cast<long long>(times.handedOver[frame % KEPT_TIMES]),
                 static_cast<long long>(times.paintStart),
                 static_cast<long long>(times.paintEnd != 0 ? times.paintEnd : shown), static_cast<long long>(shown),
                 static_cast<unsigned long long>(frame), static_cast<unsigned long long>(neverShown));
    std::fflush(state->file);
}

void PresentLatencyLog::forget(const QorCanvas* canvas) {
    LogState* state = logState();
    if (state == nullptr) return;
    std::lock_guard<std::mutex> guard(state->lock);
    state->canvases.erase(canvas);
}

void presentToCanvas(QorCanvas* canvas, VideoFrame* frame) {
    if (!PresentLatencyLog::enabled()) {
        canvas->presentFrame(frame);
        return;
    }
    const std::int64_t handedOver = PresentLatencyLog::now();
    canvas->presentFrame(frame);
    PresentLatencyLog::presented(canvas, handedOver);
}

} // namespace qor
