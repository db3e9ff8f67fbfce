// A QorThread that reads one WebSocket, which it does not own. The owner
// sets the socket before start and ends the thread with stopReceiving; the
// join returns once the pending receive returns.
#pragma once

#include "OwnerLock.h"
#include "QorThread.h"

#include <atomic>

namespace qor {

class QorWebSocket;

class QorReceiveThread : public QorThread {
public:
    QorReceiveThread();
    ~QorReceiveThread() override;

    // Sets the stop state and the stop flag, then joins without limit.
    virtual void stopReceiving();
    // Stores the socket; false (keeping the first) when one is already set.
    virtual bool setSocket(QorWebSocket* socket);

    QorWebSocket* socket() const { return socket_.load(); }
    bool stopRequested() const { return stopRequested_.load(); }

protected:
    // Lets a subclass replace the socket it validated itself.
    void storeSocket(QorWebSocket* socket) { socket_.store(socket); }

private:
    std::atomic<QorWebSocket*> socket_{nullptr};
    std::atomic<bool> stopRequested_{false};
    OwnerLock lock_;
};

} // namespace qor
