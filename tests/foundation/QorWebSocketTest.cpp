// The WebSocket wrapper against real peers: Debian's python3-websockets as
// server (our side a POCO client WebSocket) and as client (our side a POCO
// server-side WebSocket), plus a raw TCP peer for frame headers that no
// well-behaved library sends.
#include "QorWebSocket.h"

#include "LogCapture.h"
#include "PeerProcess.h"
#include "TestPaths.h"
#include "WebSocketAcceptor.h"

#include <Poco/Exception.h>
#include <Poco/Message.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Net/WebSocket.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using qor::QorWebSocket;

namespace {

constexpr int kStartMs = 30000;  // python start-up and connection, on a loaded machine
constexpr int kFinishMs = 60000; // a peer's whole script

// The payload the python peer sends and expects for a size (same formula).
std::string pattern(int size, bool text) {
    std::string bytes(static_cast<std::size_t>(size), '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = text ? static_cast<char>('a' + (i * 7 + size) % 26)
                        : static_cast<char>((static_cast<long long>(i) * 7 + size) % 251);
    return bytes;
}

enum class Role {
    PocoClient, // our wrapper over a POCO client WebSocket, python is the server
    PocoServer, // our wrapper over a POCO server-side WebSocket, python is the client
};

std::string roleText(Role role) { return role == Role::PocoClient ? "OverPocoClient" : "OverPocoServer"; }
std::string roleName(const testing::TestParamInfo<Role>& info) { return roleText(info.param); }
void PrintTo(Role role, std::ostream* out) { *out << roleText(role); }

// One wrapped connection to a python peer that plays the given steps.
class ScriptedPeer {
public:
    ScriptedPeer(Role role, const std::vector<std::string>& steps) {
        const std::string script = testSourcePath("foundation/peers/ws_peer.py");
        std::vector<std::string> args{"-u", script};
        if (role == Role::PocoClient) {
            args.push_back("server");
            args.insert(args.end(), steps.begin(), steps.end());
            process_.reset(new PeerProcess(debianPython(), args));
            std::string port;
            if (!process_->waitForLine("READY ", port, kStartMs))
                throw std::runtime_error("python server did not start:\n" + process_->output());
            socket_.reset(new QorWebSocket(connectPocoWebSocket("127.0.0.1", std::stoi(port)), "client-id"));
        } else {
            acceptor_.reset(new WebSocketAcceptor);
            args.push_back("client");
            args.push_back(acceptor_->url());
            args.insert(args.end(), steps.begin(), steps.end());
            process_.reset(new PeerProcess(debianPython(), args));
            Poco::Net::WebSocket* accepted = acceptor_->waitForSocket(kStartMs);
            if (!accepted) throw std::runtime_error("python client did not connect:\n" + process_->output());
            socket_.reset(new QorWebSocket(accepted, ""));
        }
    }

    QorWebSocket& socket() { return *socket_; }
    void destroySocket() { socket_.reset(); }
    PeerProcess& process() { return *process_; }
    // The peer's exit code once its script has ended (0: every step passed).
    int finish() { return process_->waitForExit(kFinishMs); }

private:
    std::unique_ptr<WebSocketAcceptor> acceptor_;
    std::unique_ptr<PeerProcess> process_;
    std::unique_ptr<QorWebSocket> socket_;
};

// Receives until something other than 0 (ping, pong, empty frame) arrives;
// counts the zeros.
int receiveData(QorWebSocket& socket, std::vector<char>& buffer, int& zeros) {
    zeros = 0;
    for (;;) {
        const int n = socket.receiveFrame(buffer.data(), static_cast<int>(buffer.size()));
        if (n != 0) return n;
        ++zeros;
    }
}

class QorWebSocketPeer : public testing::TestWithParam<Role> {};

INSTANTIATE_TEST_SUITE_P(BothRoles, QorWebSocketPeer, testing::Values(Role::PocoClient, Role::PocoServer), roleName);

} // namespace

TEST_P(QorWebSocketPeer, DataFramesOfEverySizeArriveAndEchoIntact) {
    struct Frame {
        bool text;
        int size;
    };
    std::vector<Frame> frames;
    for (bool text : {true, false})
        for (int size : {0, 1, 125, 126, 65535, 65536, 3 * 1024 * 1024 + 17}) frames.push_back({text, size});

    std::vector<std::string> steps;
    for (const Frame& f : frames) {
        const std::string kind = f.text ? "text" : "binary";
        steps.insert(steps.end(), {"send", kind, std::to_string(f.size), "expect", kind, std::to_string(f.size)});
    }
    steps.insert(steps.end(), {"close", "1000"});

    ScriptedPeer peer(GetParam(), steps);
    QorWebSocket& socket = peer.socket();
    std::vector<char> buffer(8 * 1024 * 1024);
    for (const Frame& f : frames) {
        SCOPED_TRACE((f.text ? "text " : "binary ") + std::to_string(f.size));
        const int n = socket.receiveFrame(buffer.data(), static_cast<int>(buffer.size()));
        ASSERT_EQ(n, f.size) << "an empty data frame must read as 0, not as the end of the connection";
        const std::string expected = pattern(f.size, f.text);
        ASSERT_EQ(std::memcmp(buffer.data(), expected.data(), expected.size()), 0);
        const int sent = f.text ? socket.sendText(expected.data(), f.size) : socket.sendBinary(expected.data(), f.size);
        EXPECT_EQ(sent, f.size);
    }
    EXPECT_EQ(socket.receiveFrame(buffer.data(), static_cast<int>(buffer.size())), -2);
    socket.close(false);
    EXPECT_EQ(peer.finish(), 0) << peer.process().output();
}

TEST_P(QorWebSocketPeer, PingsAreAnsweredWithTheirOwnPayloadAndPongsIgnored) {
    LogCapture log("trace");
    // The peer waits for each pong carrying exactly its ping's bytes.
    ScriptedPeer peer(GetParam(), {"ping", "0", "ping", "3", "ping", "125", "pong", "4", "send", "binary", "5",
                                   "close", "1000"});
    QorWebSocket& socket = peer.socket();
    std::vector<char> buffer(1024);
    int zeros = 0;
    ASSERT_EQ(receiveData(socket, buffer, zeros), 5);
    EXPECT_EQ(std::string(buffer.data(), 5), pattern(5, false));
    EXPECT_EQ(zeros, 4);
    EXPECT_EQ(log.count("Send FRAME_OP_PONG"), 3);
    EXPECT_EQ(log.count("Ignoring FRAME_OP_PONG"), 1);
    EXPECT_FALSE(socket.isShutDown());
    EXPECT_EQ(socket.receiveFrame(buffer.data(), static_cast<int>(buffer.size())), -2);
    socket.close(false);
    EXPECT_EQ(peer.finish(), 0) << peer.process().output();
}

TEST_P(QorWebSocketPeer, PeerEndingTheConnectionIsReportedOnceThenClosedForGood) {
    struct Case {
        std::vector<std::string> ending;
        const char* seen;
    };
    const Case cases[] = {
        {{"close", "1000"}, "CLOSE"},
        {{"eof"}, "zero length message"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seen);
        LogCapture log("debug");
        std::vector<std::string> steps{"send", "text", "3"};
        steps.insert(steps.end(), c.ending.begin(), c.ending.end());
        ScriptedPeer peer(GetParam(), steps);
        QorWebSocket& socket = peer.socket();
        std::vector<char> buffer(1024);
        const int size = static_cast<int>(buffer.size());
        ASSERT_EQ(socket.receiveFrame(buffer.data(), size), 3);
        EXPECT_EQ(socket.receiveFrame(buffer.data(), size), -2);
        EXPECT_TRUE(log.contains(socket.name() + ": Connection shutdown by peer, received: " + c.seen))
            << testing::PrintToString(log.texts());
        EXPECT_TRUE(socket.isShutDown());
        EXPECT_EQ(socket.receiveFrame(buffer.data(), size), -1);
        EXPECT_EQ(socket.receiveFrame(buffer.data(), size), -1);
        EXPECT_EQ(socket.sendText("late", 4), -1);
        EXPECT_EQ(socket.sendBinary("late", 4), -1);
        socket.close(false);
        EXPECT_FALSE(log.contains("Shutdown of web socket done")) << "no CLOSE may follow the peer's end";
        EXPECT_TRUE(socket.isClosed());
        EXPECT_EQ(peer.finish(), 0) << peer.process().output();
    }
}

TEST_P(QorWebSocketPeer, OurCloseSendsCloseFrameOnlyWithoutSkip) {
    enum class Ending { Close, CloseSkippingShutdown, Destroy };
    struct Case {
        Ending ending;
        const char* codeSeenByPeer; // 1006: the connection ended without a CLOSE frame
    };
    const Case cases[] = {
        {Ending::Close, "1000"},
        {Ending::CloseSkippingShutdown, "1006"},
        {Ending::Destroy, "1006"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.codeSeenByPeer);
        LogCapture log("debug");
        ScriptedPeer peer(GetParam(), {"send", "text", "2", "expect-close", c.codeSeenByPeer});
        QorWebSocket& socket = peer.socket();
        std::vector<char> buffer(16);
        ASSERT_EQ(socket.receiveFrame(buffer.data(), 16), 2);
        if (c.ending == Ending::Destroy) {
            peer.destroySocket();
        } else {
            const std::string name = socket.name();
            socket.close(c.ending == Ending::CloseSkippingShutdown);
            EXPECT_EQ(log.contains(name + ": Shutdown of web socket done"), c.ending == Ending::Close);
            EXPECT_TRUE(socket.isClosed());
            EXPECT_EQ(socket.receiveFrame(buffer.data(), 16), -1);
            EXPECT_EQ(socket.sendText("x", 1), -1);
            EXPECT_NO_THROW(socket.close(false));
            EXPECT_NO_THROW(socket.shutdown());
        }
        EXPECT_EQ(peer.finish(), 0) << peer.process().output();
    }
}

TEST_P(QorWebSocketPeer, ReceiveTimeOutSetsFlagAndThrowsOwnedPointer) {
    ScriptedPeer peer(GetParam(), {"expect", "text", "4", "send", "text", "6", "close", "1000"});
    QorWebSocket& socket = peer.socket();
    std::vector<char> buffer(64);
    socket.setReceiveTimeout(300);
    bool caught = false;
    try {
        socket.receiveFrame(buffer.data(), 64);
    } catch (Poco::TimeoutException* e) {
        std::unique_ptr<Poco::TimeoutException> owned(e); // the catcher owns it
        caught = true;
    }
    EXPECT_TRUE(caught);
    EXPECT_TRUE(socket.timedOut());
    EXPECT_FALSE(socket.isShutDown()) << "a time-out does not end the connection";

    const std::string poke = pattern(4, true);
    ASSERT_EQ(socket.sendText(poke.data(), 4), 4);
    socket.setReceiveTimeout(kFinishMs);
    EXPECT_EQ(socket.receiveFrame(buffer.data(), 64), 6);
    EXPECT_FALSE(socket.timedOut()) << "each receive clears the flag";
    EXPECT_EQ(socket.receiveFrame(buffer.data(), 64), -2);
    socket.close(false);
    EXPECT_EQ(peer.finish(), 0) << peer.process().output();
}

TEST_P(QorWebSocketPeer, FrameLargerThanBufferIsRefusedAndEndsTheConnection) {
    ScriptedPeer peer(GetParam(), {"send", "binary", "70000", "expect-close", "1006"});
    QorWebSocket& socket = peer.socket();
    std::vector<char> buffer(65536);
    try {
        socket.receiveFrame(buffer.data(), static_cast<int>(buffer.size()));
        ADD_FAILURE() << "an oversize frame was accepted";
    } catch (const Poco::Net::WebSocketException& e) {
        EXPECT_EQ(e.code(), Poco::Net::WebSocket::WS_ERR_PAYLOAD_TOO_BIG);
    }
    EXPECT_TRUE(socket.isShutDown()) << "the unread payload makes the stream unusable";
    EXPECT_EQ(socket.receiveFrame(buffer.data(), static_cast<int>(buffer.size())), -1);
    EXPECT_EQ(socket.sendBinary("x", 1), -1);
    socket.close(false);
    EXPECT_EQ(peer.finish(), 0) << peer.process().output();
}

namespace {

// A client that speaks the handshake by hand and then writes whatever frame
// bytes a test gives it.
class RawClient {
public:
    explicit RawClient(int port) : socket_(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port))) {
        socket_.setReceiveTimeout(Poco::Timespan(20, 0));
        const std::string request = "GET /ws HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                    "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
        write(request);
        std::string answer;
        char c;
        while (answer.size() < 4 || answer.compare(answer.size() - 4, 4, "\r\n\r\n") != 0) {
            if (socket_.receiveBytes(&c, 1) != 1) throw std::runtime_error("handshake answer cut short");
            answer += c;
        }
        if (answer.compare(0, 12, "HTTP/1.1 101") != 0) throw std::runtime_error("no upgrade: " + answer);
    }
    void write(const std::string& bytes) { socket_.sendBytes(bytes.data(), static_cast<int>(bytes.size())); }

    // A masked binary frame header announcing the length in its 64-bit form
    // (or the 16-bit form below 65536), mask bytes zero.
    static std::string header(std::uint64_t length) {
        std::string h{static_cast<char>(0x82)};
        if (length < 65536) {
            h += static_cast<char>(0x80 | 126);
            for (int shift = 8; shift >= 0; shift -= 8) h += static_cast<char>((length >> shift) & 0xff);
        } else {
            h += static_cast<char>(0x80 | 127);
            for (int shift = 56; shift >= 0; shift -= 8) h += static_cast<char>((length >> shift) & 0xff);
        }
        return h + std::string(4, '\0');
    }

private:
    Poco::Net::StreamSocket socket_;
};

} // namespace

TEST(QorWebSocket, AnnouncedPayloadIsCheckedBeforeReadingOrAllocating) {
    struct Case {
        int bufferSize;
        std::uint64_t announced;
        int payloadSent;
        bool accepted;
    };
    const Case cases[] = {
        {65536, 65536, 65536, true},
        {125, 126, 0, false},
        {65536, 65537, 0, false},
        {33554431, 33554431, 33554431, true}, // the video receive buffer's limit
        {33554431, 33554432, 0, false},
        {65536, (std::uint64_t(1) << 32) + 5, 5, false}, // would wrap to 5 in an int
        {65536, std::uint64_t(1) << 62, 0, false},
        {65536, (std::uint64_t(1) << 63) + 1, 0, false},
    };
    WebSocketAcceptor acceptor;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.bufferSize) + " / " + std::to_string(c.announced));
        RawClient client(acceptor.port());
        Poco::Net::WebSocket* accepted = acceptor.waitForSocket(kStartMs);
        ASSERT_NE(accepted, nullptr);
        QorWebSocket socket(accepted, "");
        socket.setReceiveTimeout(20000);
        // Written from a second thread: a large payload fills the socket
        // buffers until the wrapper reads it.
        std::thread writer([&] {
            try {
                client.write(RawClient::header(c.announced) + std::string(static_cast<std::size_t>(c.payloadSent), 'p'));
            } catch (const Poco::Exception&) {
            }
        });
        std::vector<char> buffer(static_cast<std::size_t>(c.bufferSize));
        if (c.accepted) {
            EXPECT_EQ(socket.receiveFrame(buffer.data(), c.bufferSize), c.payloadSent);
        } else {
            try {
                const int n = socket.receiveFrame(buffer.data(), c.bufferSize);
                ADD_FAILURE() << "accepted as " << n << " bytes";
            } catch (const Poco::Net::WebSocketException& e) {
                EXPECT_EQ(e.code(), Poco::Net::WebSocket::WS_ERR_PAYLOAD_TOO_BIG);
            }
            EXPECT_EQ(socket.receiveFrame(buffer.data(), c.bufferSize), -1);
        }
        writer.join();
    }
}

TEST(QorWebSocket, NamesAreNumberedInCreationOrder) {
    WebSocketAcceptor acceptor;
    QorWebSocket client(connectPocoWebSocket("127.0.0.1", acceptor.port()), "client-id");
    Poco::Net::WebSocket* accepted = acceptor.waitForSocket(kStartMs);
    ASSERT_NE(accepted, nullptr);
    QorWebSocket server(accepted, "");

    const std::string prefix = "wSocket_";
    ASSERT_EQ(client.name().compare(0, prefix.size(), prefix), 0) << client.name();
    const int first = std::stoi(client.name().substr(prefix.size()));
    EXPECT_GE(first, 1);
    // Run alone (as under CTest), this test makes the process's first socket.
    if (testing::UnitTest::GetInstance()->test_to_run_count() == 1) {
        EXPECT_EQ(first, 1);
    }
    EXPECT_EQ(server.name(), prefix + std::to_string(first + 1));
    EXPECT_EQ(client.logName(), client.name());
    EXPECT_EQ(client.label(), "client-id");
    EXPECT_EQ(server.label(), "");
    EXPECT_EQ(client.peerHost(), "127.0.0.1");
    EXPECT_EQ(client.peerPort(), acceptor.port());
    EXPECT_EQ(client.peerAddress(), "127.0.0.1:" + std::to_string(acceptor.port()));
}

TEST(QorWebSocket, TimeoutsAreSetInMillisecondsAndLogged) {
    enum class Which { Receive, Send };
    struct Case {
        Which which;
        int ms;
        const char* level;
        const char* line; // after the socket's name; empty: nothing logged
        int priority;
    };
    const Case cases[] = {
        {Which::Receive, 2500, "debug", ": Setting receive timeout 2s, 500000us", Poco::Message::PRIO_DEBUG},
        {Which::Receive, 999, "debug", ": Setting receive timeout 0s, 999000us", Poco::Message::PRIO_DEBUG},
        {Which::Receive, 2500, "information", "", 0},
        {Which::Send, 1250, "trace", ": Setting send timeout 1s, 250000us", Poco::Message::PRIO_TRACE},
        {Which::Send, 1250, "debug", "", 0},
    };
    WebSocketAcceptor acceptor;
    QorWebSocket socket(connectPocoWebSocket("127.0.0.1", acceptor.port()), "");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.ms) + " " + c.level);
        LogCapture log(c.level);
        Poco::Timespan set;
        if (c.which == Which::Receive) {
            socket.setReceiveTimeout(c.ms);
            set = socket.socket()->getReceiveTimeout();
        } else {
            socket.setSendTimeout(c.ms);
            set = socket.socket()->getSendTimeout();
        }
        // The kernel keeps time-outs in clock ticks: allow one tick.
        EXPECT_NEAR(static_cast<double>(set.totalMicroseconds()), c.ms * 1000.0, 10000.0);
        const std::vector<CapturedLine> lines = log.lines();
        if (*c.line == '\0') {
            EXPECT_TRUE(lines.empty()) << lines.front().text;
        } else {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0].text, socket.name() + c.line);
            EXPECT_EQ(lines[0].priority, c.priority);
        }
    }
}

TEST(QorWebSocket, PeerHostDropsTheIpv4MappedPrefix) {
    struct Case {
        const char* address;
        const char* host;
    };
    const Case cases[] = {
        {"::ffff:10.0.0.5", "10.0.0.5"},   {"::ffff:127.0.0.1", "127.0.0.1"}, {"10.0.0.5", "10.0.0.5"},
        {"::1", "::1"},                     {"2001:db8::ffff:1", "2001:db8::ffff:1"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(QorWebSocket::formatPeerHost(Poco::Net::IPAddress(c.address)), c.host) << c.address;
    EXPECT_EQ(QorWebSocket::formatPeerAddress(Poco::Net::SocketAddress("[::ffff:10.0.0.5]:443")), "10.0.0.5:443");
    EXPECT_EQ(QorWebSocket::formatPeerAddress(Poco::Net::SocketAddress("10.0.0.5", 443)), "10.0.0.5:443");
}

TEST(QorWebSocket, IpV4PeerOfADualStackListenerReadsAsPlainIpv4) {
    Poco::Net::ServerSocket listener;
    try {
        listener.bind6(Poco::Net::SocketAddress("::", 0), true, false, false);
        listener.listen();
    } catch (const Poco::Exception& e) {
        FAIL() << "cannot listen on IPv6 and IPv4 at once ('::'): " << e.displayText();
    }
    WebSocketAcceptor acceptor(listener);
    PeerProcess python(debianPython(), {"-u", testSourcePath("foundation/peers/ws_peer.py"), "client",
                                        acceptor.url(), "port", "expect-close", "1000"});
    Poco::Net::WebSocket* accepted = acceptor.waitForSocket(kStartMs);
    ASSERT_NE(accepted, nullptr) << python.output();
    QorWebSocket socket(accepted, "");
    std::string port;
    ASSERT_TRUE(python.waitForLine("PORT ", port, kStartMs)) << python.output();
    EXPECT_EQ(socket.peerHost(), "127.0.0.1");
    EXPECT_EQ(std::to_string(socket.peerPort()), port);
    EXPECT_EQ(socket.peerAddress(), "127.0.0.1:" + port);
    socket.close(false);
    EXPECT_EQ(python.waitForExit(kFinishMs), 0) << python.output();
}
