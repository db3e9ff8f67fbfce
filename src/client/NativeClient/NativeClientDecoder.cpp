#include "NativeClientDecoder.h"

#include "CanvasRegistry.h"
#include "ClientSettings.h"
#include "ColorFormat.h"
#include "DecoderLog.h"
#include "Logging.h"
#include "NativeClientColorConvThread.h"
#include "NativeClientDecodedVideoFrameEvent.h"
#include "NativeClientDecoderOutOfSyncEvent.h"
#include "NativeClientErrorEvent.h"
#include "NativeClientVideoFrameEvent.h"
#include "OwnerLock.h"
#include "PresentLatencyLog.h"
#include "QorCanvas.h"
#include "StreamStatistics.h"
#include "Utilities.h"

#include <exception>

namespace qor {

namespace {

OwnerLock decoderCounterLock;
std::int32_t decoderCounter = 0;

void releaseFramePayload(VideoFrame* frame) { releaseVideoFrame(&frame); }

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

} // namespace

NativeDecoder::NativeDecoder(QorEventThread* target, std::int32_t screenId, StreamStatistics* statistics,
                             const std::string& sessionName, const VideoEncodingSpec& spec, std::int32_t width,
                             std::int32_t height)
    : QorEventThread(true),
      width_(width),
      height_(height),
      target_(target),
      screenId_(screenId),
      statistics_(statistics),
      sessionName_(sessionName),
      encodingSpec_(spec) {
    std::int32_t number;
    {
        ScopedOwnerLock guard(decoderCounterLock);
        number = ++decoderCounter;
    }
    setName("Decoder_" + std::to_string(number));
    decoderDebug(logPrefix() + "Created decoder for stream type '" + formatVideoEncodingSpec(spec) + "', session " +
                 sessionName_);
}

NativeDecoder::~NativeDecoder() {
    stopEventLoop();
    colorConvThread_.reset();
}

std::int32_t NativeDecoder::createdDecoders() {
    ScopedOwnerLock guard(decoderCounterLock);
    return decoderCounter;
}

void NativeDecoder::logUnhandledEvent(const char* file, int line, int eventCode) {
    logError(std::string("Received unhandled event in ") + file + " at line " + std::to_string(line) + ", value " +
             std::to_string(eventCode));
}

QorCanvas* NativeDecoder::takeCanvas() {
    QorCanvas* taken = canvas_;
    canvas_ = nullptr;
    return taken;
}

bool NativeDecoder::initDecoder() {
    decoderDebug(logPrefix() + "Initializing decoder " + std::to_string(screenId_) + ", stream type '" +
                 formatVideoEncodingSpec(encodingSpec_) + "'");
    canvas_ = retrieveCanvas(screenId_, true);
    if (canvas_ == nullptr) {
        decoderCritical(logPrefix() + "Can't retrieve canvas for session " + quoted(std::to_string(screenId_)));
        return false;
    }
    QorCanvas* const target = canvas_;
    streamDecoder_ = StreamDecoder::select([target](int code) { return target->supportsColorFormat(code); },
                                           encodingSpec_, width_, height_);
    if (!streamDecoder_) {
        decoderCritical(logPrefix() + "Can't load suitable decoder for stream type " +
                        quoted(formatVideoEncodingSpec(encodingSpec_)));
        return false;
    }
    // A decoder that cannot be set up refuses every access unit: asking the
    // server for one resynchronisation after another would never help.
    if (!streamDecoder_->init()) {
        decoderCritical(logPrefix() + "Can't initialize decoder " + quoted(streamDecoder_->name));
        return false;
    }
    const int output = streamDecoder_->outputColorFormat;
    decoderDebug(logPrefix() + "Loaded decoder " + streamDecoder_->name + "/" + colorFormatName(output) + "/" +
                 encodingProfileName(encodingSpec_.encoding, encodingSpec_.colorFormat));
    parallelDecoding_ = clientParallelDecoding.get();
    if (!canvas_->supportsColorFormat(output)) {
        decoderDebug(logPrefix() + "Color format of '" + streamDecoder_->name + "', '" + colorFormatName(output) +
                     "', not supported by canvas, using conversion");
        if (!streamDecoder_->canConvert()) {
            decoderCritical(logPrefix() + "Decoder '" + streamDecoder_->name + "' can't convert it's stream type " +
                            quoted(formatVideoEncodingSpec(encodingSpec_)) + " to supported format");
            return false;
        }
        if (parallelDecoding_) {
            colorConvThread_.reset(new NativeColorConvThread(this));
            colorConvThread_->start(0);
            decoderDebug(logPrefix() + "Started recode thread " + colorConvThread_->name());
        }
    }
    return true;
}

void NativeDecoder::reportInitFailure() {
    decoderCritical(logPrefix() + "Init of decoder failed");
    if (target_ == nullptr || !target_->postEvent(new NativeClientErrorEvent("Decoder init failed", 0, screenId_))) {
        decoderError(logPrefix() + "Can't report the failed init of screen " + std::to_string(screenId_));
    }
}

void NativeDecoder::eventLoop() {
    checkpoint(__LINE__, CheckpointFile::VIDEO_DECODER);
    bool ready = false;
    try {
        ready = initDecoder();
    } catch (const std::exception& e) {
        decoderCritical(logPrefix() + "Exception during decoder set-up: " + e.what());
    }
    if (ready) {
        ready_ = true;
        ScopedOwnerLock guard(canvas_->frameLocks[0]);
        canvas_->decoderAttached = true;
    } else {
        checkpoint(__LINE__, CheckpointFile::VIDEO_DECODER);
        reportInitFailure();
        requestStop();
    }
    checkpoint(__LINE__, CheckpointFile::VIDEO_DECODER);
    signalStarted();

    try {
        while (isRunning()) {
            checkpoint(__LINE__, CheckpointFile::VIDEO_DECODER);
            Poco::AutoPtr<BaseEvent> event = waitForEvent();
            if (!event) {
                requestStop();
                break;
            }
            checkpoint(__LINE__, CheckpointFile::VIDEO_DECODER);
            auto* video = dynamic_cast<NativeClientVideoFrameEvent*>(event.get());
            if (video != nullptr) {
                decodeFrame(*video);
            } else {
                logUnhandledEvent(__FILE__, __LINE__, event->type());
            }
        }
    } catch (const std::exception& e) {
        decoderError(logPrefix() + "Decoding ended by exception: " + e.what());
    }
    cleanUp();
}

void NativeDecoder::cleanUp() {
    checkpoint(__LINE__, CheckpointFile::VIDEO_DECODER);
    decoderDebug(logPrefix() + "Exit main loop");
    if (colorConvThread_) {
        // It converts with the stream decoder: idle before that goes, and
        // the frames still queued for it back to their allocators.
        checkpoint(__LINE__, CheckpointFile::VIDEO_DECODER);
        colorConvThread_->stopEventLoop();
        colorConvThread_.reset();
    }
    // The stream ends here: the pictures held back for display order
    // follow the ones already shown (converted here, the conversion thread
    // is gone).
    checkpoint(__LINE__, CheckpointFile::VIDEO_DECODER);
    try {
        if (ready_) presentHeldPictures(false);
    } catch (const std::exception& e) {
        decoderError(logPrefix() + "Held pictures lost at the end of the stream: " + e.what());
    }
    checkpoint(__LINE__, CheckpointFile::VIDEO_DECODER);
    if (canvas_ != nullptr) canvas_->resetFrames();
    checkpoint(__LINE__, CheckpointFile::VIDEO_DECODER);
    streamDecoder_.reset();
    decoderDebug(logPrefix() + "Deleted decoder");
}

void NativeDecoder::decodeFrame(NativeClientVideoFrameEvent& event) {
    const std::int32_t frameCount = statistics_->countFrame();
    // Freed when this function returns, whatever happens to the picture.
    const NativeClientVideoFrameEvent::Buffer data = event.takeData();
    const std::int32_t length = event.length;

    ++decodeAttempts_;
    reachStage(DecoderStageObserver::Stage::DECODE_START);
    const std::int64_t start = monotonicMillis();
    VideoFrame* frame = streamDecoder_->allocFrame(streamDecoder_->outputColorFormat);
    const bool decoded = frame != nullptr && data != nullptr && length >= 0 &&
                         streamDecoder_->decode(reinterpret_cast<const std::uint8_t*>(data.get()),
                                                static_cast<std::uint32_t>(length), &frame) &&
                         frame != nullptr;
    if (decoded) {
        reachStage(DecoderStageObserver::Stage::DECODE_DONE);
        decodedFrame(frame, start, length, frameCount);
        return;
    }
    // No new picture: whatever the frame holds is not shown.
    reachStage(DecoderStageObserver::Stage::NO_PICTURE);
    releaseVideoFrame(&frame);
    if (++consecutiveFailures_ > RESYNC_AFTER_FAILURES) {
        consecutiveFailures_ = 0;
        // The server starts the stream anew: the pictures the decoder holds
        // of the old one come now, before those of the new one.
        presentHeldPictures(true);
        if (target_ == nullptr || !target_->postEvent(new NativeClientDecoderOutOfSyncEvent(screenId_))) {
            decoderError(logPrefix() + "Can't ask for a resynchronisation of screen " + std::to_string(screenId_));
        }
    }
}

void NativeDecoder::decodedFrame(VideoFrame* frame, std::int64_t start, std::int32_t length,
                                 std::int32_t frameCount) {
    consecutiveFailures_ = 0;
    // Without parallel decoding a conversion on this thread counts as
    // decode time.
    const bool sampleFirst = parallelDecoding_ || canvas_->supportsColorFormat(frame->colorFormat());
    std::int64_t elapsed = 0;
    if (sampleFirst) {
        elapsed = monotonicMillis() - start;
        statistics_->addDecodeSample(elapsed, length);
    }
    if (frameCount % PROGRESS_INTERVAL == 0 && isDebugEnabled()) writeProgressLine(frameCount);

    const bool presented = presentPicture(frame, true);
    if (!sampleFirst) {
        elapsed = monotonicMillis() - start;
        statistics_->addDecodeSample(elapsed, length);
    }
    if (presented && decodeAttempts_ == 1) canvas_->refreshScreen();
    statistics_->countInInterval(start + elapsed);
}

bool NativeDecoder::presentPicture(VideoFrame* frame, bool mayPost) {
    if (canvas_->supportsColorFormat(frame->colorFormat())) {
        presentToCanvas(canvas_, frame);
        return true;
    }
    if (mayPost && parallelDecoding_ && colorConvThread_) {
        // A refused event gives the frame back to its allocator.
        colorConvThread_->postEvent(
            new NativeClientDecodedVideoFrameEvent(NativeClientDecodedVideoFrameEvent::Frame(frame, releaseFramePayload)));
        return false;
    }
    VideoFrame* converted = streamDecoder_->convert(frame);
    releaseVideoFrame(&frame);
    reachStage(DecoderStageObserver::Stage::CONVERSION_DONE);
    // A failed conversion shows nothing; the stream decoder has said why.
    if (converted == nullptr) return false;
    presentToCanvas(canvas_, converted);
    return true;
}

void NativeDecoder::presentHeldPictures(bool mayPost) {
    int handedOut = 0;
    for (;;) {
        VideoFrame* frame = streamDecoder_->allocFrame(streamDecoder_->outputColorFormat);
        if (frame == nullptr || !streamDecoder_->drain(&frame) || frame == nullptr) {
            releaseVideoFrame(&frame);
            break;
        }
        presentPicture(frame, mayPost);
        ++handedOut;
    }
    if (handedOut > 0) {
        decoderDebug(logPrefix() + "Handed out " + std::to_string(handedOut) +
                     " held pictures at the end of the stream");
    }
}

void NativeDecoder::writeProgressLine(std::int32_t frameCount) {
    const std::int32_t queued = queueLength();
    const StreamStatistics::DecodeTimeWindow window = statistics_->takeDecodeTimeWindow();
    decoderDebug(logPrefix() + "Decoded frame no " + std::to_string(frameCount) + ", avg decode time " +
                 doubleToFixed(window.average, 2) + "ms, min/max " + doubleToFixed(window.min, 1) + "/" +
                 doubleToFixed(window.max, 1) + "ms , queue len " + std::to_string(queued));
}

} // namespace qor
