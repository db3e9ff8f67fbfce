#include "NativeClientCtrlReceiveThread.h"

#include "Logging.h"
#include "NativeClientJSONDataFrameEvent.h"
#include "NativeClientScreenSessionFinishedEvent.h"
#include "NativeClientServerProxy.h"
#include "QorMessage.h"

namespace qor {

NativeClientCtrlReceiveThread::NativeClientCtrlReceiveThread(NativeClientServerProxy* proxy,
                                                             const std::string& nameSuffix)
    : NativeClientBaseReceiveThread(false), proxy_(proxy) {
    setName(proxy->name() + nameSuffix);
    if (isDebugEnabled()) logDebug(name() + ": created");
}

// The body calls back into this object until it has ended.
NativeClientCtrlReceiveThread::~NativeClientCtrlReceiveThread() { stopReceiving(); }

void NativeClientCtrlReceiveThread::onFrame(Buffer& buffer, int length) {
    // The page may send anything: a text that is no JSON object is dropped
    // here, and this thread reads on.
    QorMessage message;
    try {
        message.parse(std::string(buffer.get(), static_cast<std::size_t>(length)).c_str());
    } catch (...) {
        message = QorMessage();
    }
    if (message.isEmpty()) {
        logWarning(name() + ": Dropping page message that is not a JSON object");
        return;
    }
    proxy_->postEvent(new NativeClientJSONDataFrameEvent(message, "Received"));
}

void NativeClientCtrlReceiveThread::onClosed() { proxy_->requestStop(); }

void NativeClientCtrlReceiveThread::onExit() {
    proxy_->postEvent(new NativeClientScreenSessionFinishedEvent(std::string(), -1));
}

} // namespace qor
