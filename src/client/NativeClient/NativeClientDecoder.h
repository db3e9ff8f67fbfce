// The decoder thread of one remote screen: takes the screen's canvas out of
// the canvas registry, chooses a stream decoder for the stream, and decodes
// every access unit the video receive thread posts to it. Each picture goes
// to the canvas directly, after an inline conversion, or through a
// colour-conversion thread when the canvas cannot draw the decoder's output.
// After more than 16 rejected access units in a row it asks its target (the
// server connection) for a resynchronisation of the screen.
#pragma once

#include "DecoderStageObserver.h"
#include "QorEventThread.h"
#include "StreamDecoder.h"
#include "VideoEncodingSpec.h"

#include <cstdint>
#include <memory>
#include <string>

namespace qor {

class NativeClientVideoFrameEvent;
class NativeColorConvThread;
class QorCanvas;
class StreamStatistics;

class NativeDecoder : public QorEventThread {
public:
    // Access units rejected in a row before a resynchronisation is asked for.
    static constexpr std::int32_t RESYNC_AFTER_FAILURES = 16;
    // Access units between two progress lines (debug level).
    static constexpr std::int32_t PROGRESS_INTERVAL = 2500;

    // target receives DecoderOutOfSync and "Decoder init failed" for the
    // screen; statistics and target must outlive the decoder. The starter
    // waits until the set-up is done (start with a time-out below 1 waits
    // without limit).
    NativeDecoder(QorEventThread* target, std::int32_t screenId, StreamStatistics* statistics,
                  const std::string& sessionName, const VideoEncodingSpec& spec, std::int32_t width,
                  std::int32_t height);
    // Stops the loop when it still runs, deletes a colour-conversion thread
    // and frees the access units still queued.
    ~NativeDecoder() override;

    void eventLoop() override;

    // Events waiting in the queue.
    std::int32_t queueLength() const { return queuedEvents(); }

    // The canvas, which stays the decoder's until the session takes it
    // back after stopping the loop.
    QorCanvas* canvas() const { return canvas_; }
    QorCanvas* takeCanvas();
    StreamDecoder* streamDecoder() const { return streamDecoder_.get(); }
    StreamStatistics* statistics() const { return statistics_; }
    NativeColorConvThread* colorConvThread() const { return colorConvThread_.get(); }
    std::int32_t screenId() const { return screenId_; }
    std::int32_t decodeAttempts() const { return decodeAttempts_; }
    std::int32_t consecutiveFailures() const { return consecutiveFailures_; }
    const VideoEncodingSpec& encodingSpec() const { return encodingSpec_; }

    // Set before start; the observer must outlive the decoder.
    void setStageObserver(DecoderStageObserver* observer) { stageObserver_ = observer; }
    DecoderStageObserver* stageObserver() const { return stageObserver_; }
    void reachStage(DecoderStageObserver::Stage stage) const {
        if (stageObserver_ != nullptr) stageObserver_->stageReached(stage);
    }

    // The error line for an event a decoder-side loop does not handle
    // (written without a name; file and line of the loop).
    static void logUnhandledEvent(const char* file, int line, int eventCode);

    // Decoders created by the process so far (the last one's number).
    static std::int32_t createdDecoders();

private:
    bool initDecoder();
    void decodeFrame(NativeClientVideoFrameEvent& event);
    void decodedFrame(VideoFrame* frame, std::int64_t start, std::int32_t length, std::int32_t frameCount);
    // Hands one picture to the canvas (taking the frame): directly when the
    // canvas draws it, else through the conversion thread when mayPost and
    // one runs, else converted here. True when presented on this thread.
    bool presentPicture(VideoFrame* frame, bool mayPost);
    // At the end of a stream: presents, in display order, the pictures the
    // stream decoder still holds.
    void presentHeldPictures(bool mayPost);
    void writeProgressLine(std::int32_t frameCount);
    void cleanUp();
    void reportInitFailure();

    std::unique_ptr<StreamDecoder> streamDecoder_;
    QorCanvas* canvas_ = nullptr;
    std::int32_t decodeAttempts_ = 0;
    std::int32_t consecutiveFailures_ = 0;
    std::unique_ptr<NativeColorConvThread> colorConvThread_;
    const std::int32_t width_;
    const std::int32_t height_;
    QorEventThread* const target_;
    const std::int32_t screenId_;
    StreamStatistics* const statistics_;
    const std::string sessionName_;
    const VideoEncodingSpec encodingSpec_;
    // Client.ParallelDecoding, read once by the set-up.
    bool parallelDecoding_ = true;
    // The set-up succeeded: canvas and stream decoder are there.
    bool ready_ = false;
    DecoderStageObserver* stageObserver_ = nullptr;
};

} // namespace qor
