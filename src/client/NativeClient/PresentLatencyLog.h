// Times from handing a frame to a canvas to the paint that shows it, for the
// benchmarks. Switched on by the environment variable QDK_PRESENT_LOG (the
// file to write); off, it costs one test of a flag per frame.
//
// The decoder side notes when each frame is handed over; the GUI side notes
// the start of each paint of the canvas (the paint draws the newest frame
// handed over by then), the end of the paints (before the window is
// composed) and the swap that puts the result on screen. For every paint that
// shows a frame not shown before, one line goes to the file:
//
//   <handed over> <paint started> <painted> <swapped> <frame number> <frames never shown>
//
// times in nanoseconds of CLOCK_MONOTONIC.
#pragma once

#include <cstdint>

namespace qor {

class QorCanvas;
class VideoFrame;

class PresentLatencyLog {
public:
    static bool enabled();
    static std::int64_t now();

    // Decoder side (any thread): a frame was handed to the canvas at handedOver.
    static void presented(const QorCanvas* canvas, std::int64_t handedOver);
    // GUI side.
    static void paintStarted(const QorCanvas* canvas);
    static void painted(const QorCanvas* canvas);
    static void swapped(const QorCanvas* canvas);
    static void forget(const QorCanvas* canvas);
};

// canvas->presentFrame(frame), timed when the log is on.
void presentToCanvas(QorCanvas* canvas, VideoFrame* frame);

} // namespace qor
