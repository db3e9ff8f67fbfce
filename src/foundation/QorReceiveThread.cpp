#include "QorReceiveThread.h"

namespace qor {

QorReceiveThread::QorReceiveThread() : QorThread(false) {}

QorReceiveThread::~QorReceiveThread() = default;

void QorReceiveThread::stopReceiving() {
    requestStop();
    stopRequested_.store(true);
    stop(true, false);
}

bool QorReceiveThread::setSocket(QorWebSocket* socket) {
    if (socket_.load()) return false;
    socket_.store(socket);
    return true;
}

} // namespace qor
