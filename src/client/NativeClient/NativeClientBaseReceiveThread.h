// The body shared by the client's receive threads: reads one WebSocket frame
// after the other into a 32 MiB buffer, with a longer receive time-out until
// the first frame and a shorter one afterwards, hands each data frame to
// onFrame and turns a closed socket or a failed receive into the owner's
// reaction (onClosed, onExit). A time-out only bounds how long a receive
// blocks, so that a stop request is seen in time.
#pragma once

#include "QorReceiveThread.h"
#include "VideoBufferPool.h"

#include <string>

namespace qor {

class ConfigIntValue;

class NativeClientBaseReceiveThread : public QorReceiveThread {
public:
    using Buffer = VideoBufferPool::Buffer;
    // Every 120th data frame is logged at debug level.
    static constexpr int FRAME_LOG_INTERVAL = 120;

    explicit NativeClientBaseReceiveThread(bool video);
    ~NativeClientBaseReceiveThread() override;

    bool setSocket(QorWebSocket* socket) override;
    const std::string& peerText() const { return peerText_; }
    std::int64_t frameCount() const { return frameCount_; }

protected:
    void eventLoop() override;

    // A data frame of length bytes, followed by a zero byte. The subclass
    // may take the buffer over; it then leaves a fresh one in its place.
    virtual void onFrame(Buffer& buffer, int length) = 0;
    // The peer closed the socket: stops the owner.
    virtual void onClosed() = 0;
    // The body ends, whatever the reason: tells the owner.
    virtual void onExit() = 0;

private:
    // One receive; false when the loop is to end.
    bool receiveOnce(Buffer& buffer);

    std::string peerText_ = "unconnected";
    ConfigIntValue* initialTimeout_;
    ConfigIntValue* receiveTimeout_;
    std::int64_t frameCount_ = 0;
};

} // namespace qor
