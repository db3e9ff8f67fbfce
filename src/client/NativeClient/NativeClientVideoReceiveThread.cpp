#include "NativeClientVideoReceiveThread.h"

#include "Logging.h"
#include "NativeClientScreenSessionFinishedEvent.h"
#include "NativeClientSession.h"
#include "NativeClientVideoFrameEvent.h"

namespace qor {

NativeClientVideoReceiveThread::NativeClientVideoReceiveThread(NativeClientSession* session)
    : NativeClientBaseReceiveThread(true), session_(session) {
    setName(session->name() + " (Video-Revr)");
    if (isDebugEnabled()) logDebug(name() + ": created");
}

// The body calls back into this object until it has ended.
NativeClientVideoReceiveThread::~NativeClientVideoReceiveThread() { stopReceiving(); }

void NativeClientVideoReceiveThread::onFrame(Buffer& buffer, int length) {
    ScopedOwnerLock guard(session_->decoderLock());
    QorEventThread* decoder = session_->decoderThread();
    // Without a decoder the access unit is dropped and the buffer reused.
    if (decoder == nullptr) return;
    // A refused event gives its buffer back to the pool by itself.
    decoder->postEvent(new NativeClientVideoFrameEvent(std::move(buffer), length));
    buffer = VideoBufferPool::acquire();
}

void NativeClientVideoReceiveThread::onClosed() { session_->requestStop(); }

void NativeClientVideoReceiveThread::onExit() {
    session_->postEvent(new NativeClientScreenSessionFinishedEvent("VideoReceiver failed", session_->screenIndex()));
}

} // namespace qor
