// Speed of the canvas under the display it runs on (under Xvfb: Mesa's
// software OpenGL, so the figures are relative): the time from presentFrame
// to the end of the paint that shows the frame (1 ms poll, paint, upload,
// draw, glFinish), the paint time with a full-window and a 1 x 1 viewport
// (the latter is nearly all upload), at 1080p and 2160p, and the copy a
// padded frame no longer goes through.
#include "ClientGLWidget.h"
#include "ClientSettings.h"
#include "ColorFormat.h"
#include "DecodedFrameAllocator.h"
#include "DecodedVideoFrame.h"

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double millisSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

class TimedCanvas : public ClientGLWidget {
public:
    TimedCanvas() : ClientGLWidget(false) {}
    int paints = 0;
    double lastPaintMs = 0;
    Clock::time_point lastPaintEnd;

protected:
    void paintGL() override {
        const auto start = Clock::now();
        ClientGLWidget::paintGL();
        lastPaintEnd = Clock::now();
        lastPaintMs = millisSince(start);
        ++paints;
    }
};

qor::VideoFrame* makeFrame(int format, int width, int height, int seed) {
    qor::VideoFrame* frame = decodedFrameAllocator.allocate(format, width, height);
    for (int k = 0; k < 3; ++k) {
        if (frame->lineSize(k) == 0) continue;
        std::memset(frame->plane(k), (seed * 37 + k * 50) & 0xFF,
                    static_cast<std::size_t>(frame->lineSize(k)) * frame->planeLines(k));
    }
    return frame;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

struct Result {
    double latency;
    double paint;
};

Result run(TimedCanvas& canvas, int format, int width, int height, bool fullViewport, int frames) {
    canvas.setViewport(0, 0, fullViewport ? canvas.width() : 1, fullViewport ? canvas.height() : 1);
    std::vector<double> latencies;
    std::vector<double> paints;
    for (int i = 0; i < frames + 3; ++i) {
        qor::VideoFrame* frame = makeFrame(format, width, height, i);
        const int before = canvas.paints;
        const auto presented = Clock::now();
        canvas.presentFrame(frame);
        QElapsedTimer guard;
        guard.start();
        while (canvas.paints == before && guard.elapsed() < 5000) {
            QApplication::processEvents(QEventLoop::AllEvents, 1);
        }
        if (i < 3) continue; // warm-up
        latencies.push_back(std::chrono::duration<double, std::milli>(canvas.lastPaintEnd - presented).count());
        paints.push_back(canvas.lastPaintMs);
    }
    return {median(latencies), median(paints)};
}

// What presenting a frame with padded lines cost before it could be drawn
// as it lies: a pooled frame and a line-by-line copy.
double copyCost(int width, int height, int repetitions) {
    // Lines 64 bytes longer than a row, as a decoder's aligned buffers.
    struct PaddedFrame : qor::VideoFrame {
        std::vector<std::uint8_t> buffers[3];
        int lines[3] = {0, 0, 0};
        int w = 0, h = 0;
        std::uint8_t* plane(int i) const override { return const_cast<std::uint8_t*>(buffers[i].data()); }
        int width() const override { return w; }
        int height() const override { return h; }
        int lineSize(int i) const override { return lines[i]; }
        int colorFormat() const override { return ColorFormat::YUV420P; }
        int rowsPerLine(int i) const override { return i == 0 ? 1 : 2; }
    } padded;
    padded.w = width;
    padded.h = height;
    for (int k = 0; k < 3; ++k) {
        padded.lines[k] = canonicalLineSize(ColorFormat::YUV420P, width, k) + 64;
        padded.buffers[k].assign(static_cast<std::size_t>(padded.lines[k]) * padded.planeLines(k), 7);
    }
    std::vector<double> times;
    for (int i = 0; i < repetitions; ++i) {
        const auto start = Clock::now();
        qor::VideoFrame* copy = decodedFrameAllocator.allocate(ColorFormat::YUV420P, width, height);
        static_cast<qor::DecodedVideoFrame*>(copy)->copyFrom(padded);
        times.push_back(millisSince(start));
        qor::releaseVideoFrame(&copy);
    }
    return median(times);
}

} // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    const int frames = argc > 1 ? std::max(5, std::atoi(argv[1])) : 30;
    clientOpenGLRenderMode.set("normal");
    clientHwColorConversion.set(true);
    TimedCanvas canvas;
    canvas.resize(1920, 1080);
    canvas.show();
    QElapsedTimer wait;
    wait.start();
    while (!canvas.isValid() && wait.elapsed() < 10000) QApplication::processEvents(QEventLoop::AllEvents, 10);
    canvas.decoderAttached = true;

    struct Case {
        const char* name;
        int format;
    };
    const Case formats[] = {{"YUV420p", ColorFormat::YUV420P}, {"NV12", ColorFormat::NV12}, {"RGB24", ColorFormat::RGB24}};
    const int sizes[][2] = {{1920, 1080}, {3840, 2160}};
    std::printf("%-8s %-10s %18s %18s %22s\n", "format", "size", "present->shown ms", "paint (full) ms",
                "paint (1x1, ~upload) ms");
    for (const auto& size : sizes) {
        for (const Case& format : formats) {
            const Result full = run(canvas, format.format, size[0], size[1], true, frames);
            const Result upload = run(canvas, format.format, size[0], size[1], false, frames);
            std::printf("%-8s %4dx%-5d %18.2f %18.2f %22.2f\n", format.name, size[0], size[1], full.latency,
                        full.paint, upload.paint);
        }
    }
    for (const auto& size : sizes) {
        std::printf("copy of a padded YUV420p %dx%d frame (no longer made): %.2f ms\n", size[0], size[1],
                    copyCost(size[0], size[1], frames));
    }
    canvas.resetFrames();
    return 0;
}
