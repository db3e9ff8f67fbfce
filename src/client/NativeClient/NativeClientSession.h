// The client side of one remote screen of a server connection: keeps the
// screen's stream parameters, owns its video socket, video receive thread
// and decoder thread, answers the server's statistics requests and takes
// everything down in a fixed order when the screen ends.
#pragma once

#include "OwnerLock.h"
#include "QorEventThread.h"
#include "VideoEncodingSpec.h"

#include <atomic>
#include <cstdint>
#include <string>

class QorMessage;

namespace qor {

class NativeClientServerProxy;
class NativeClientVideoReceiveThread;
class NativeDecoder;
class QorCanvas;
class QorWebSocket;
class StreamStatistics;

struct VideoStreamParams {
    std::int32_t screenId = 0;
    std::int32_t frameRate = 0;
    std::int32_t quality = 0;
    std::int32_t configNo = -1;
    std::int32_t serverHeight = 0;
    std::int32_t serverWidth = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    VideoEncodingSpec encodingSpec;
};

struct StatRequest {
    std::int32_t serverFrameNo = -1;
    std::int32_t screenId = 0;
    std::int32_t clientCount = 1;
    std::int32_t supportedFpi = 24;
    std::int32_t currentFpi = 24;
    std::int32_t fpi = 24;
    std::int32_t bytesPerInterval = 0;
    bool fullStats = true;
};

class NativeClientSession : public QorEventThread {
public:
    NativeClientSession(NativeClientServerProxy* proxy, std::int32_t screenIndex);
    ~NativeClientSession() override;

    // Set by the proxy before it posts the first stream parameters; the
    // session owns the socket from then on.
    void setVideoSocket(QorWebSocket* socket) { videoSocket_.store(socket); }
    QorWebSocket* videoSocket() const { return videoSocket_.load(); }
    // The screen this session shows (from its messages).
    std::int32_t screenIndex() const { return streamParams_.screenId; }
    // Held while the decoder is replaced, and by the video receive thread
    // while it hands an access unit to the decoder.
    OwnerLock& decoderLock() { return decoderLock_; }
    // The decoder to post access units to; null while there is none. Read
    // under decoderLock.
    QorEventThread* decoderThread() const;
    NativeDecoder* decoder() const { return decoder_; }
    StreamStatistics* statistics() const { return statistics_; }
    NativeClientServerProxy* proxy() const { return proxy_; }
    const VideoStreamParams& streamParams() const { return streamParams_; }

    bool handleSessionMessage(const QorMessage& message);
    bool parseVsParam(const QorMessage& message, VideoStreamParams& record);
    bool parseStatRequest(const QorMessage& message);

protected:
    void eventLoop() override;

private:
    bool handleVsParam(const QorMessage& message);
    bool startDecoder();
    void startVideoReceiver();
    void sendStartSignal();
    void sendStatAck(std::int32_t frameNo);
    void sendStats(std::int32_t frameNo);
    void shutdownVideoReceiver();
    // Called with decoderLock held; the decoder's canvas, or null.
    QorCanvas* shutdownDecoder();
    void disposeCanvas(QorCanvas*& canvas, bool final);
    void closeVideoSocket();
    void logStatistics(std::int32_t frameNo);

    std::atomic<QorWebSocket*> videoSocket_{nullptr};
    NativeClientServerProxy* proxy_;
    VideoStreamParams streamParams_;
    StatRequest statRequest_;
    NativeClientVideoReceiveThread* videoReceiver_ = nullptr;
    NativeDecoder* decoder_ = nullptr;
    OwnerLock decoderLock_;
    StreamStatistics* statistics_;
    std::int32_t reportCounter_ = 0;
};

} // namespace qor
