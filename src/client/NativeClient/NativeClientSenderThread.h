// The one thread that writes control messages to the server's control
// WebSocket. Messages come as data-frame events from the proxy's sendCtrl;
// each is written as one text frame. The first failed write ends the thread
// and is reported to the proxy, which then disconnects.
#pragma once

#include "QorEventThread.h"

#include <string>

namespace qor {

class NativeClientServerProxy;
class QorWebSocket;

class NativeClientSenderThread : public QorEventThread {
public:
    // The most bytes of one message.
    static constexpr std::size_t MESSAGE_LIMIT = 33554432;

    explicit NativeClientSenderThread(NativeClientServerProxy* proxy);
    ~NativeClientSenderThread() override;

    // Set once, before start; false (keeping the first) on a second call.
    bool setSocket(QorWebSocket* socket);
    const std::string& peerText() const { return peerText_; }

protected:
    void eventLoop() override;

private:
    // Sends one message; false when the thread has to end.
    bool sendMessage(BaseEvent* event);
    void fail(const std::string& message);

    QorWebSocket* socket_ = nullptr;
    std::string peerText_ = "unconnected";
    NativeClientServerProxy* proxy_;
};

} // namespace qor
