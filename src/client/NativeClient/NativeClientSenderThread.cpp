#include "NativeClientSenderThread.h"

#include "Logging.h"
#include "NativeClientDataFrameEvent.h"
#include "NativeClientErrorEvent.h"
#include "NativeClientServerProxy.h"
#include "NativeClientSocketFailEvent.h"
#include "QorWebSocket.h"

#include <Poco/Exception.h>

#include <algorithm>
#include <cstring>

namespace qor {

NativeClientSenderThread::NativeClientSenderThread(NativeClientServerProxy* proxy)
    : QorEventThread(false), proxy_(proxy) {
    setName(proxy->name() + " (Send)");
}

NativeClientSenderThread::~NativeClientSenderThread() { stopEventLoop(); }

bool NativeClientSenderThread::setSocket(QorWebSocket* socket) {
    if (socket_ != nullptr) return false;
    socket_ = socket;
    peerText_ = socket != nullptr ? socket->peerAddress() : std::string("unconnected");
    if (isDebugEnabled()) logDebug(name() + ": Added message socket to " + peerText_);
    return true;
}

void NativeClientSenderThread::eventLoop() {
    raisePriority();
    while (isRunning()) {
        Poco::AutoPtr<BaseEvent> event = waitForEvent();
        if (!event) {
            if (isDebugEnabled())
                logDebug(name() + (stopPending() ? ": Received termination request" : ": Got empty event"));
            continue;
        }
        if (event->type() != NativeClientBaseEvent::CTRL_FRAME) {
            logError(std::string("Received unhandled event in ") + __FILE__ + " at line " + std::to_string(__LINE__) +
                     ", value " + std::to_string(event->type()));
            continue;
        }
        if (!sendMessage(event.get())) {
            requestStop();
            if (isDebugEnabled()) logDebug(name() + ": Exited");
        }
    }
}

void NativeClientSenderThread::fail(const std::string& message) {
    logCritical(name() + ": " + message);
    proxy_->postEvent(new NativeClientSocketFailEvent(message, 1, 1));
}

bool NativeClientSenderThread::sendMessage(BaseEvent* base) {
    auto* event = static_cast<NativeClientDataFrameEvent*>(base);
    const std::size_t untilNul = std::strlen(event->text.c_str());
    if (untilNul > MESSAGE_LIMIT) {
        // Cut, it would reach the server as broken JSON.
        logError(name() + ": Not sending \"" + event->label + "\", " + std::to_string(untilNul) +
                 " bytes exceed the message limit");
        return true;
    }
    const int length = static_cast<int>(untilNul);
    try {
        const int sent = socket_ != nullptr ? socket_->sendText(event->text.data(), length) : -1;
        if (sent != length) {
            fail("Failed to send \"" + event->label + "\"");
            return false;
        }
    } catch (const Poco::TimeoutException& e) {
        fail("Caught timeout \"" + e.displayText() + "\" on messaging socket");
        return false;
    } catch (const Poco::Exception& e) {
        if (proxy_->isRunning()) fail("Caught \"" + e.displayText() + "\" on messaging socket");
        return false;
    } catch (...) {
        proxy_->postEvent(new NativeClientErrorEvent("Caught unspecified exception", 1, -1));
        return false;
    }
    if (event->verbose)
        componentDebug(LogComponentMask::OTHER, name() + ": Send \"" + event->text.c_str() + "\"; \"" + event->label +
                                                    "\" successfully");
    return true;
}

} // namespace qor
