// Tunnel frames from the WebSocket peer into the receive and forwarding
// logic of a port tunnel (the server side, which connects a local socket
// for every OPEN). Every input runs against a new tunnel over a real
// WebSocket on loopback, in a network namespace of the harness's own; the
// tunnel's local port is a real echo service on loopback or, when the
// input's first byte is odd, a port where nothing listens.
//
// The rest of the input is a list of WebSocket messages that the peer
// sends, each written as
//
//   byte 0   what: bits 0-2  0-2 binary message (the tunnel frame itself)
//                            3   the same in fragments: the first byte
//                                gives their size (1 + its value mod 8),
//                                the rest is the message, and a ping goes
//                                between the first two fragments
//                            4   text message
//                            5   ping
//                            6   binary message one byte longer than the
//                                longest frame accepted, beginning with the
//                                bytes given (the tunnel must end)
//                            7   the closing handshake (the tunnel ends)
//            bit 3: wait until the tunnel has handled everything so far
//   byte 1   length n of what follows (0-255)
//   n bytes  the message
//
// The echo service sends back whatever reaches it; a read that holds the
// byte 0xff makes it shut its sending side down afterwards, one that holds
// 0xfe makes it reset the connection instead of answering.
//
// What must hold: nothing crashes or hangs, and frames within the limits
// (any content, any id, any order, in fragments, text and ping messages)
// never end the tunnel: the peer's OPEN and DATA of a connection of its own
// still come back through the echo at the end.
#include "FuzzSupport.h"
#include "QorTunnelServerInterface.h"
#include "QorWebSocket.h"
#include "WebSocketAcceptor.h"

#include <Poco/Exception.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/WebSocket.h>
#include <Poco/Timespan.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using qor::TunnelFrame::CLOSE;
using qor::TunnelFrame::DATA;
using qor::TunnelFrame::OPEN;

// The connection id of the closing probe; inputs may use it too, which
// only makes the probe come back early.
constexpr std::uint32_t PROBE_ID = 0x5eed5eedu;
const char PROBE_BYTES[] = "probe";

// A local service on 127.0.0.1 that echoes every connection from one
// thread, for the tunnel's local connections.
class EchoService {
public:
    EchoService() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 128) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            fuzz::fail("the echo service cannot listen");
        port_ = ntohs(address.sin_port);
        std::thread([this] { serve(); }).detach();
    }
    int port() const { return port_; }

private:
    void serve() {
        std::vector<pollfd> polled;
        std::vector<char> buffer(65536);
        for (;;) {
            polled.assign(1, pollfd{listener_, POLLIN, 0});
            for (int fd : connections_) polled.push_back(pollfd{fd, POLLIN, 0});
            if (::poll(polled.data(), polled.size(), -1) < 0) continue;
            if (polled[0].revents != 0) {
                for (int fd; (fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
                    connections_.push_back(fd);
            }
            for (std::size_t i = 1; i < polled.size(); ++i) {
                if (polled[i].revents == 0) continue;
                const int fd = polled[i].fd;
                const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (got < 0 && errno == EAGAIN) continue;
                char* end = buffer.data() + std::max<ssize_t>(got, 0);
                if (got <= 0) {
                    drop(fd);
                } else if (std::find(buffer.data(), end, '\xfe') != end) {
                    const linger reset{1, 0};
                    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                    drop(fd);
                } else {
                    // The tunnel reads its local sockets as fast as they
                    // fill: a short wait at most.
                    for (ssize_t sent = 0; sent < got;) {
                        const ssize_t n = ::send(fd, buffer.data() + sent, static_cast<std::size_t>(got - sent),
                                                 MSG_NOSIGNAL);
                        if (n <= 0) break;
                        sent += n;
                    }
                    if (std::find(buffer.data(), end, '\xff') != end) ::shutdown(fd, SHUT_WR);
                }
            }
        }
    }
    void drop(int fd) {
        ::close(fd);
        connections_.erase(std::find(connections_.begin(), connections_.end(), fd));
    }

    int listener_ = -1;
    int port_ = 0;
    std::vector<int> connections_;
};

// A port of 127.0.0.1 that refuses connections: bound, never listening.
int refusingPort() {
    static Poco::Net::ServerSocket* bound = nullptr;
    if (bound == nullptr) {
        bound = new Poco::Net::ServerSocket;
        bound->bind(Poco::Net::SocketAddress("127.0.0.1", 0), true, false);
    }
    return bound->address().port();
}

WebSocketAcceptor* acceptor = nullptr;
EchoService* echo = nullptr;
std::vector<char> frameBuffer;

std::string tunnelFrame(std::uint32_t type, std::uint32_t id, const std::string& payload = "") {
    std::string frame(qor::TunnelFrame::HEADER_SIZE, '\0');
    for (int i = 0; i < 4; ++i) {
        frame[static_cast<std::size_t>(i)] = static_cast<char>(type >> (8 * i));
        frame[static_cast<std::size_t>(4 + i)] = static_cast<char>(id >> (8 * i));
    }
    return frame + payload;
}

// The peer's end of one tunnel WebSocket.
class Peer {
public:
    explicit Peer(Poco::Net::WebSocket* socket) : socket_(socket) {
        socket_->setReceiveTimeout(Poco::Timespan(20, 0));
        socket_->setSendTimeout(Poco::Timespan(20, 0));
        // Small frames one after the other: without this each one would
        // wait for the tunnel's delayed acknowledgement.
        socket_->setNoDelay(true);
    }
    bool ended() const { return ended_; }

    // False once the tunnel's side has gone.
    bool send(const char* bytes, int length, int opcode) {
        return sendRaw(bytes, length, Poco::Net::WebSocket::FRAME_FLAG_FIN | opcode);
    }
    bool sendRaw(const char* bytes, int length, int flags) {
        if (ended_) return false;
        try {
            socket_->sendFrame(bytes, length, flags);
            return true;
        } catch (const Poco::Exception&) {
            // The tunnel ended and closed its side under the send.
            ended_ = true;
            return false;
        }
    }
    bool send(const std::string& frame) {
        return send(frame.data(), static_cast<int>(frame.size()), Poco::Net::WebSocket::FRAME_OP_BINARY);
    }

    // One binary message as fragments of the given size (at least one
    // fragment, however short the message), with a ping after the first.
    bool sendFragmented(const char* bytes, int length, int fragment) {
        int at = 0;
        do {
            const int size = std::min(fragment, length - at);
            const bool last = at + size == length;
            const int opcode = at == 0 ? Poco::Net::WebSocket::FRAME_OP_BINARY : Poco::Net::WebSocket::FRAME_OP_CONT;
            if (!sendRaw(bytes + at, size, (last ? Poco::Net::WebSocket::FRAME_FLAG_FIN : 0) | opcode)) return false;
            if (at == 0 && !last && !sendRaw("between", 7, Poco::Net::WebSocket::FRAME_FLAG_FIN |
                                                             Poco::Net::WebSocket::FRAME_OP_PING))
                return false;
            at += size;
        } while (at < length);
        return true;
    }

    // Waits until the tunnel has handled every message sent before: OPEN
    // and DATA of a probe connection go out, and the probe's bytes come
    // back through the local service (or its CLOSE, where nothing
    // listens). False when the tunnel ended meanwhile.
    bool settle() {
        ++probes_;
        const std::uint32_t id = PROBE_ID + probes_;
        if (!send(tunnelFrame(OPEN, id)) || !send(tunnelFrame(DATA, id, PROBE_BYTES))) return false;
        std::string echoed;
        while (!ended_) {
            int flags = 0;
            int length = 0;
            try {
                length = socket_->receiveFrame(frameBuffer.data(), static_cast<int>(frameBuffer.size()), flags);
            } catch (const Poco::TimeoutException&) {
                fuzz::fail("the tunnel did not answer the probe connection within 20 s");
            } catch (const Poco::Exception&) {
                ended_ = true;
                break;
            }
            const int opcode = flags & Poco::Net::WebSocket::FRAME_OP_BITMASK;
            if (length <= 0 && opcode != Poco::Net::WebSocket::FRAME_OP_PONG) {
                ended_ = true; // CLOSE or the end of the stream
                break;
            }
            if (opcode != Poco::Net::WebSocket::FRAME_OP_BINARY) continue;
            if (length < qor::TunnelFrame::HEADER_SIZE) fuzz::fail("the tunnel sent a frame shorter than its header");
            const std::string frame(frameBuffer.data(), static_cast<std::size_t>(length));
            if (frame.compare(4, 4, tunnelFrame(0, id), 4, 4) != 0) continue;
            if (frame.compare(0, 4, tunnelFrame(CLOSE, 0), 0, 4) == 0) return true;
            if (frame.compare(0, 4, tunnelFrame(DATA, 0), 0, 4) == 0) {
                echoed += frame.substr(qor::TunnelFrame::HEADER_SIZE);
                if (echoed.size() >= sizeof PROBE_BYTES - 1) return true;
            }
        }
        return false;
    }

private:
    std::unique_ptr<Poco::Net::WebSocket> socket_;
    std::uint32_t probes_ = 0;
    bool ended_ = false;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A socket table of this process alone: every input opens and closes
    // several loopback connections.
    fuzz::useOwnNetwork();
    fuzz::discardLogs("trace");
    acceptor = new WebSocketAcceptor;
    // Stopped before the threads of its server's pool are waited for at
    // exit, which would otherwise take their 10 s each.
    std::atexit([] { delete acceptor; });
    echo = new EchoService;
    refusingPort();
    frameBuffer.resize(qor::TunnelFrame::MAX_RECEIVED_FRAME + 64);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const int localPort = (data[0] & 1) != 0 ? refusingPort() : echo->port();
    Poco::Net::WebSocket* client = connectPocoWebSocket("127.0.0.1", acceptor->port(), "/tunnel");
    Poco::Net::WebSocket* server = acceptor->waitForSocket(10000);
    if (server == nullptr) fuzz::fail("the tunnel's WebSocket was not accepted");
    client->setNoDelay(true);
    auto peer = std::make_unique<Peer>(server);
    std::unique_ptr<qor::QorTunnelInterface> tunnel(
        new qor::QorTunnelServerInterface("fuzz-client", "Tun-F", localPort, new qor::QorWebSocket(client, "fuzz")));

    bool mayEnd = false;
    std::vector<char> oversize;
    for (std::size_t at = 1; at + 2 <= size && !peer->ended();) {
        const std::uint8_t what = data[at];
        const std::size_t length = std::min<std::size_t>(data[at + 1], size - at - 2);
        const char* bytes = reinterpret_cast<const char*>(data + at + 2);
        at += 2 + length;
        switch (what & 7) {
        case 3:
            if (length > 0)
                peer->sendFragmented(bytes + 1, static_cast<int>(length - 1), 1 + static_cast<unsigned char>(bytes[0]) % 8);
            break;
        case 4: peer->send(bytes, static_cast<int>(length), Poco::Net::WebSocket::FRAME_OP_TEXT); break;
        case 5: peer->send(bytes, static_cast<int>(std::min<std::size_t>(length, 125)), Poco::Net::WebSocket::FRAME_OP_PING); break;
        case 6:
            mayEnd = true;
            oversize.assign(qor::TunnelFrame::MAX_RECEIVED_FRAME + 1, '\0');
            std::memcpy(oversize.data(), bytes, length);
            peer->send(oversize.data(), static_cast<int>(oversize.size()), Poco::Net::WebSocket::FRAME_OP_BINARY);
            break;
        case 7:
            mayEnd = true;
            peer->send(bytes, static_cast<int>(std::min<std::size_t>(length, 125)), Poco::Net::WebSocket::FRAME_OP_CLOSE);
            break;
        default: peer->send(bytes, static_cast<int>(length), Poco::Net::WebSocket::FRAME_OP_BINARY); break;
        }
        if ((what & 8) != 0 && !peer->ended() && !peer->settle() && !mayEnd)
            fuzz::fail("frames within the limits ended the tunnel");
    }
    if (!peer->ended() && !peer->settle() && !mayEnd) fuzz::fail("frames within the limits ended the tunnel");
    // The peer goes: the tunnel thread ends on the end of its stream, then
    // the tunnel is deleted (which must not wait for anything).
    peer.reset();
    tunnel.reset();
    return 0;
}
