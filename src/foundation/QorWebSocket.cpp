#include "QorWebSocket.h"

#include "Logging.h"

#include <Poco/Exception.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/WebSocket.h>
#include <Poco/Timespan.h>

namespace qor {

namespace {

// Feeds the socket names only; the first socket of the process gets 1.
std::atomic<unsigned> nextSocketNumber{1};

Poco::Timespan millisToTimespan(int ms) {
    return Poco::Timespan(ms / 1000, (ms % 1000) * 1000);
}

// "2s, 500000us" for 2500 ms.
std::string timeoutText(int ms) {
    return std::to_string(ms / 1000) + "s, " + std::to_string((ms % 1000) * 1000) + "us";
}

} // namespace

QorWebSocket::QorWebSocket(Poco::Net::WebSocket* socket, const std::string& label)
    : name_("wSocket_" + std::to_string(nextSocketNumber.fetch_add(1))), socket_(socket), label_(label) {
    try {
        const Poco::Net::SocketAddress peer = socket_->peerAddress();
        peerHost_ = formatPeerHost(peer.host());
        peerPort_ = peer.port();
        peerAddress_ = formatPeerAddress(peer);
    } catch (const Poco::Exception&) {
        // A peer that is already gone leaves the texts empty; the first
        // receive reports the connection's state.
    }
}

QorWebSocket::~QorWebSocket() {
    if (!closed_.exchange(true)) {
        try {
            socket_->close();
        } catch (...) {
        }
    }
    delete socket_;
}

std::string QorWebSocket::name() const { return name_; }

std::string QorWebSocket::logName() const { return name_; }

std::string QorWebSocket::label() const { return label_; }

void QorWebSocket::close(bool skipShutdown) {
    if (closed_) return;
    try {
        if (!skipShutdown && !shutDown_) shutdown();
    } catch (...) {
        // The socket is closed all the same; the caller sees the failure.
        closed_ = true;
        socket_->close();
        throw;
    }
    closed_ = true;
    socket_->close();
}

void QorWebSocket::shutdown() {
    if (shutDown_ || closed_) return;
    // No frame may follow a CLOSE, also when sending it failed.
    shutDown_ = true;
    socket_->shutdown();
    if (isDebugEnabled()) logDebug(name_ + ": Shutdown of web socket done");
}

void QorWebSocket::setReceiveTimeout(int ms) {
    socket_->setReceiveTimeout(millisToTimespan(ms));
    if (isDebugEnabled())
        logDebug(name_ + ": Setting receive timeout " + timeoutText(ms));
}

void QorWebSocket::setSendTimeout(int ms) {
    socket_->setSendTimeout(millisToTimespan(ms));
    if (isTraceEnabled())
        logTrace(name_ + ": Setting send timeout " + timeoutText(ms));
}

int QorWebSocket::sendText(const char* text, int length) {
    return send(text, length, Poco::Net::WebSocket::FRAME_TEXT);
}

int QorWebSocket::sendBinary(const char* data, int length) {
    return send(data, length, Poco::Net::WebSocket::FRAME_BINARY);
}

int QorWebSocket::send(const char* bytes, int length, int flags) {
    if (closed_ || shutDown_) return -1;
    return socket_->sendFrame(bytes, length, flags);
}

int QorWebSocket::receiveFrame(char* buffer, int size) {
    if (closed_ || shutDown_) return -1;
    timedOut_ = false;

    int flags = 0;
    int n = 0;
    try {
        // Checked against the frame header, so that a peer announcing a huge
        // payload is refused before anything is read or allocated.
        socket_->setMaxPayloadSize(size);
        n = socket_->receiveFrame(buffer, size, flags);
        lastFrameFlags_ = flags;
    } catch (const Poco::TimeoutException& e) {
        timedOut_ = true;
        throw new Poco::TimeoutException(e);
    } catch (const Poco::Net::WebSocketException&) {
        // The rest of the frame is still in the stream: nothing after it
        // can be read as frames any more.
        shutDown_ = true;
        throw;
    }

    const int opcode = flags & Poco::Net::WebSocket::FRAME_OP_BITMASK;
    // POCO reports the end of the stream as 0 bytes with flags 0; an empty
    // frame carries its opcode and FIN bit. (Only an empty non-final
    // continuation fragment, which no peer of ours sends, looks the same.)
    const bool endOfStream = n == 0 && flags == 0;
    if (opcode == Poco::Net::WebSocket::FRAME_OP_CLOSE || endOfStream) {
        if (isDebugEnabled())
            logDebug(name_ + ": Connection shutdown by peer, received: " +
                     (endOfStream ? "zero length message" : "CLOSE"));
        shutDown_ = true;
        return -2;
    }
    if (n < 0) return -1;
    if (opcode == Poco::Net::WebSocket::FRAME_OP_PING) {
        socket_->sendFrame(buffer, n, Poco::Net::WebSocket::FRAME_FLAG_FIN | Poco::Net::WebSocket::FRAME_OP_PONG);
        if (isDebugEnabled()) logDebug("Send FRAME_OP_PONG");
        return 0;
    }
    if (opcode == Poco::Net::WebSocket::FRAME_OP_PONG) {
        if (isTraceEnabled()) logTrace("Ignoring FRAME_OP_PONG");
        return 0;
    }
    return n;
}

std::string QorWebSocket::formatPeerHost(const Poco::Net::IPAddress& address) {
    static const std::string mappedPrefix = "::ffff:";
    std::string text = address.toString();
    if (text.compare(0, mappedPrefix.size(), mappedPrefix) == 0) text.erase(0, mappedPrefix.size());
    return text;
}

std::string QorWebSocket::formatPeerAddress(const Poco::Net::SocketAddress& address) {
    return formatPeerHost(address.host()) + ":" + std::to_string(address.port());
}

} // namespace qor
