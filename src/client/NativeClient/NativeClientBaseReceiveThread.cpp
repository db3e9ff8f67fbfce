#include "NativeClientBaseReceiveThread.h"

#include "ClientSettings.h"
#include "Logging.h"
#include "QorWebSocket.h"
#include "Utilities.h"

#include <Poco/Exception.h>

#include <cerrno>

namespace qor {

namespace {

// The settings live for the process; every thread of a kind reads the same.
ConfigIntValue* timeoutSetting(bool video, bool initial) {
    static ConfigIntValue* const settings[2][2] = {
        {newReceiveTimeoutSetting(false, false), newReceiveTimeoutSetting(false, true)},
        {newReceiveTimeoutSetting(true, false), newReceiveTimeoutSetting(true, true)}};
    return settings[video ? 1 : 0][initial ? 1 : 0];
}

struct TimeoutSettingsOwner {
    ~TimeoutSettingsOwner() {
        for (bool video : {false, true})
            for (bool initial : {false, true}) delete timeoutSetting(video, initial);
    }
};

} // namespace

NativeClientBaseReceiveThread::NativeClientBaseReceiveThread(bool video)
    : initialTimeout_(timeoutSetting(video, true)), receiveTimeout_(timeoutSetting(video, false)) {
    static TimeoutSettingsOwner owner;
}

NativeClientBaseReceiveThread::~NativeClientBaseReceiveThread() = default;

bool NativeClientBaseReceiveThread::setSocket(QorWebSocket* socket) {
    if (socket == nullptr) {
        logError(name() + ": Socket not defined");
        return false;
    }
    QorWebSocket* current = this->socket();
    if (current != nullptr) {
        logError(name() + ": Socket already there, (" + current->name() + ")");
        return false;
    }
    storeSocket(socket);
    peerText_ = socket->peerAddress();
    componentDebug(LogComponentMask::SMGNT,
                   name() + ": Added socket to " + peerText_ + " (" + socket->name() + ")");
    return true;
}

void NativeClientBaseReceiveThread::eventLoop() {
    const int file = CheckpointFile::RECEIVE_THREADS;
    Buffer buffer = VideoBufferPool::acquire();
    checkpoint(60, file);
    raisePriority();
    QorWebSocket* webSocket = socket();
    if (webSocket == nullptr) {
        logError(name() + ": Socket not defined");
        requestStop();
    } else {
        try {
            webSocket->setReceiveTimeout(initialTimeout_->get());
        } catch (const Poco::Exception& e) {
            logError(name() + ": caught: exception on socket '" + e.message() + "'");
            requestStop();
        }
    }
    frameCount_ = 0;
    while (isRunning()) {
        if (!receiveOnce(buffer)) requestStop();
    }
    checkpoint(157, file);
    onExit();
    checkpoint(159, file);
    buffer.reset();
    checkpoint(161, file);
}

bool NativeClientBaseReceiveThread::receiveOnce(Buffer& buffer) {
    const int file = CheckpointFile::RECEIVE_THREADS;
    QorWebSocket* webSocket = socket();
    int n = 0;
    try {
        checkpoint(71, file);
        n = webSocket->receiveFrame(buffer.get(), static_cast<int>(VideoBufferPool::BUFFER_SIZE));
        checkpoint(73, file);
        if (n < 0) {
            checkpoint(77, file);
            if (stopRequested()) return false;
            checkpoint(83, file);
            onClosed();
            if (isDebugEnabled()) logDebug(name() + ": Control connection closed, (" + webSocket->name() + ")");
            return false;
        }
        if (n > 0) {
            ++frameCount_;
            checkpoint(94, file);
            if (frameCount_ == 1) {
                webSocket->setReceiveTimeout(receiveTimeout_->get());
                checkpoint(99, file);
            }
        }
    } catch (Poco::TimeoutException* e) {
        delete e;
        checkpoint(140, file);
        if (stopRequested()) return false;
        if (isDebugEnabled()) logDebug(name() + ": Timeout");
        return true;
    } catch (const Poco::TimeoutException&) {
        checkpoint(108, file);
        if (stopRequested()) return false;
        checkpoint(114, file);
        logError(name() + ": Exception caught receive select");
        return true;
    } catch (const Poco::Exception& e) {
        checkpoint(120, file);
        if (stopRequested() || !isRunning()) return false;
        checkpoint(127, file);
        logError(name() + ": caught: exception on socket '" + e.message() + "'");
        return false;
    } catch (...) {
        if (webSocket->timedOut()) {
            if (isDebugEnabled()) logDebug(name() + ": Timeout");
            return true;
        }
        if (isRunning())
            logError(name() + ": ClientProxy caught: unexpected exception on Data Socket " +
                     windowsErrorText(static_cast<unsigned int>(errno)));
        return false;
    }
    if (n == 0) return true;
    if (frameCount_ % FRAME_LOG_INTERVAL == 0 && isDebugEnabled())
        logDebug(name() + "; Received frame @ no " + std::to_string(frameCount_));
    buffer.get()[n] = '\0';
    checkpoint(152, file);
    onFrame(buffer, n);
    checkpoint(154, file);
    return true;
}

} // namespace qor
