#include "NativeClientColorConvThread.h"

#include "DecoderLog.h"
#include "NativeClientDecodedVideoFrameEvent.h"
#include "NativeClientDecoder.h"
#include "PresentLatencyLog.h"
#include "QorCanvas.h"
#include "StreamStatistics.h"
#include "Utilities.h"
#include "VideoFrame.h"

namespace qor {

NativeColorConvThread::NativeColorConvThread(NativeDecoder* decoder) : QorEventThread(false), decoder_(decoder) {
    setName("RecodeThread");
}

NativeColorConvThread::~NativeColorConvThread() { stopEventLoop(); }

void NativeColorConvThread::eventLoop() {
    std::int32_t presented = 0;
    while (isRunning()) {
        checkpoint(__LINE__, CheckpointFile::VIDEO_DECODER);
        Poco::AutoPtr<BaseEvent> event = waitForEvent();
        if (!event) {
            requestStop();
            break;
        }
        checkpoint(__LINE__, CheckpointFile::VIDEO_DECODER);
        auto* decoded = dynamic_cast<NativeClientDecodedVideoFrameEvent*>(event.get());
        if (decoded == nullptr) {
            NativeDecoder::logUnhandledEvent(__FILE__, __LINE__, event->type());
            continue;
        }
        NativeClientDecodedVideoFrameEvent::Frame frame = decoded->takeFrame();
        if (!frame) continue;
        const std::int64_t start = monotonicMillis();
        VideoFrame* converted = decoder_->streamDecoder()->convert(frame.get());
        frame.reset(); // back to its allocator before the canvas work
        decoder_->reachStage(DecoderStageObserver::Stage::CONVERSION_DONE);
        // A failed conversion shows nothing; the stream decoder has said why.
        if (converted == nullptr) continue;
        presentToCanvas(decoder_->canvas(), converted);
        decoder_->statistics()->addConversionTime(monotonicMillis() - start);
        if (++presented == 1) decoder_->canvas()->refreshScreen();
    }
    decoderDebug(logPrefix() + "Exit main loop");
}

} // namespace qor
