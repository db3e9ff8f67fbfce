// One WebSocket connection of the client: the page's socket on the js-bridge
// and the sockets the client opens to the server (control, video, tunnels).
//
// The wrapper names the socket ("wSocket_" and a process-wide running
// number), keeps the peer's texts, sets time-outs in milliseconds, sends
// text and binary frames, receives one frame at a time while answering pings
// and closes the connection once.
//
// receiveFrame returns
//   n > 0  a data frame of n bytes (text, binary or continuation),
//   0      a ping answered, a pong ignored, or an empty data frame: read again,
//   -1     the socket is closed or shut down, or the read failed,
//   -2     once, when the peer sent CLOSE or ended the TCP stream.
// Frames are told apart by their opcode, never by their length.
//
// Errors of receiveFrame:
//   - receive time-out: `timedOut()` becomes true and a newly allocated
//     Poco::TimeoutException is thrown BY POINTER; the catcher owns and
//     deletes it (catch (Poco::TimeoutException* e)). Receive threads that
//     only have a catch-all handler recognise the case by `timedOut()`.
//   - a frame whose payload is larger than the caller's buffer: a
//     Poco::Net::WebSocketException with code WS_ERR_PAYLOAD_TOO_BIG, raised
//     from the frame header before any payload is read or memory allocated.
//     The payload is left unread, so the connection is unusable from then on:
//     like every other WebSocketException (malformed or incomplete frame) it
//     marks the socket shut down, and later sends and receives return -1.
//   - other exceptions of the network layer pass to the caller unchanged.
//
// One thread reads a socket (it also sends the PONG answers); the owner makes
// sure that only one thread writes at a time and calls close / shutdown only
// after the reader has been told to stop.
#pragma once

#include <Poco/Net/IPAddress.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Types.h>

#include <atomic>
#include <string>

namespace Poco {
namespace Net {
class WebSocket;
}
} // namespace Poco

namespace qor {

class QorWebSocket {
public:
    // Takes ownership of the open WebSocket; the peer texts are read once here.
    QorWebSocket(Poco::Net::WebSocket* socket, const std::string& label);
    // Closes the socket at once (no closing handshake) when it is still open.
    virtual ~QorWebSocket();

    QorWebSocket(const QorWebSocket&) = delete;
    QorWebSocket& operator=(const QorWebSocket&) = delete;

    virtual std::string name() const;
    // Sends CLOSE (status 1000) first unless skipShutdown is set or the
    // connection is already shut down; then closes the socket. Once only.
    virtual void close(bool skipShutdown);
    virtual void setSendTimeout(int ms);
    virtual void setReceiveTimeout(int ms);
    virtual int receiveFrame(char* buffer, int size);
    virtual int sendText(const char* text, int length);
    virtual int sendBinary(const char* data, int length);
    virtual std::string logName() const;
    virtual std::string label() const;
    // Starts the closing handshake (CLOSE with status 1000). Once only.
    virtual void shutdown();

    // The peer as host text, ":" and port.
    const std::string& peerAddress() const { return peerAddress_; }
    // The peer's host text (see formatPeerHost).
    const std::string& peerHost() const { return peerHost_; }
    Poco::UInt16 peerPort() const { return peerPort_; }
    // The wrapped socket, for polling; it stays owned by this object.
    Poco::Net::WebSocket* socket() const { return socket_; }

    // The WebSocket flags (FIN and opcode) of the frame that receiveFrame
    // read last; for the reading thread only.
    int lastFrameFlags() const { return lastFrameFlags_; }

    bool timedOut() const { return timedOut_.load(); }
    bool isShutDown() const { return shutDown_.load(); }
    bool isClosed() const { return closed_.load(); }

    // The address's text with a leading "::ffff:" removed, so that an IPv4
    // address mapped into IPv6 reads as plain IPv4.
    static std::string formatPeerHost(const Poco::Net::IPAddress& address);
    // formatPeerHost of the host, ":" and the port in decimal.
    static std::string formatPeerAddress(const Poco::Net::SocketAddress& address);

private:
    int send(const char* bytes, int length, int flags);

    std::string name_;
    std::string peerAddress_;
    std::string peerHost_;
    Poco::UInt16 peerPort_ = 0;
    Poco::Net::WebSocket* socket_;
    std::string label_;
    int lastFrameFlags_ = 0;
    // Flags are read by the sender thread and the owner while the reader
    // writes them.
    std::atomic<bool> timedOut_{false};
    std::atomic<bool> shutDown_{false};
    std::atomic<bool> closed_{false};
};

} // namespace qor
