// The tunnel ends against a peer written from the frame table alone (the
// Python peer), with real local servers and clients on loopback.
#include "LogCapture.h"
#include "QorTunnelClientInterface.h"
#include "QorTunnelClientListener.h"
#include "QorTunnelServerInterface.h"
#include "QorWebSocket.h"
#include "SanitizerBuild.h"
#include "TestPaths.h"
#include "TunnelTestSupport.h"

#include <gtest/gtest.h>

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <map>
#include <sstream>
#include <sys/resource.h>
#include <unistd.h>

using namespace qor;

namespace {

constexpr int TYPE_DATA = 0;
constexpr int TYPE_OPEN = 1;
constexpr int TYPE_CLOSE = 2;

bool ended(const QorThread& thread) { return (thread.state() & ThreadState::BODY_RETURNED) != 0; }

template <typename Predicate>
bool eventually(Predicate predicate, int timeoutMs = 30000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string expectText(int type, int id) { return std::to_string(type) + " " + std::to_string(id); }

class TunnelTest : public ::testing::Test {
protected:
    void TearDown() override { tunnel.reset(); }

    // A server side (type 0) towards the local server's port.
    void startServerSide(int port) {
        tunnel.reset(new QorTunnelServerInterface("client-1", "Tun-S", port, peer.connect()));
    }
    void startClientSide(int port) {
        tunnel.reset(new QorTunnelClientInterface("client-1", "Tun-C", port, peer.connect()));
    }
    bool run(const std::string& command) {
        const bool ok = peer.run(command);
        if (!ok) ADD_FAILURE() << command << " failed:\n" << peer.output();
        return ok;
    }
    // A fresh connection carries bytes both ways: the tunnel is alive.
    void expectAlive(int id) {
        ASSERT_TRUE(run("open " + std::to_string(id)));
        ASSERT_TRUE(run("data " + std::to_string(id) + " 1000"));
        EXPECT_EQ(peer.query("expect-data " + std::to_string(id) + " 1000", "DATA "),
                  std::to_string(id) + " 1000 " + sha256Hex(patternBytes(1000)));
        EXPECT_EQ(tunnel->state(), ThreadState::RUNNING);
    }
    std::string framesSeen() {
        return peer.query("frames", "FRAMES ");
    }

    LogCapture log{"debug"};
    TunnelPeer peer;
    std::unique_ptr<QorTunnelInterface> tunnel;
};

} // namespace

TEST_F(TunnelTest, ServerSideCarriesOneConnectionBothWays) {
    LocalServer local(LocalServer::Mode::ECHO);
    startServerSide(local.port());
    ASSERT_TRUE(run("open 7"));
    ASSERT_TRUE(run("data 7 100000"));
    
    EXPECT_EQ(peer.query("expect-data 7 100000", "DATA "), "7 100000 " + sha256Hex(patternBytes(100000)));
    ASSERT_TRUE(run("close 7"));
    ASSERT_TRUE(local.waitFinished(1, 20000));
    EXPECT_EQ(local.finished()[0].bytes, 100000u);
    EXPECT_EQ(local.finished()[0].sha, sha256Hex(patternBytes(100000)));
    EXPECT_TRUE(log.waitFor("Tun-S-con-7: Packet/Bytes received 1/100000", 20000));
    EXPECT_TRUE(log.contains("Tun-S: Removing connection 7"));
    EXPECT_TRUE(log.contains("Tun-S: Open tunnel request from 127.0.0.1, id 7"));
    EXPECT_TRUE(log.contains("Tun-S: Connected 7 to local socket 127.0.0.1:" + std::to_string(local.port())));
    // The OPEN came from the peer: none goes back, and no CLOSE follows the peer's.
    EXPECT_EQ(framesSeen(), "");
}

TEST_F(TunnelTest, ClientSideAnnouncesAcceptedConnections) {
    const int port = freeLoopbackPort();
    startClientSide(port);
    ASSERT_TRUE(run("echo"));
    const std::int32_t first = tunnelConnectionCounter.load();
    EXPECT_EQ(echoThrough(port, randomBytes(300000, 1)), "");
    ASSERT_TRUE(run("expect " + expectText(TYPE_OPEN, first)));
    ASSERT_TRUE(run("expect " + expectText(TYPE_CLOSE, first)));
    EXPECT_TRUE(log.contains("Tun-C (Listen): Listen socket created at port " + std::to_string(port)));
    EXPECT_TRUE(log.contains("Tun-C (Listen): New client connected, id " + std::to_string(first) + ", peer 127.0.0.1:"));
    EXPECT_TRUE(log.waitFor("Tun-C: Removing connection " + std::to_string(first), 20000));
    // A later listener continues the process-wide count.
    tunnel.reset();
    TunnelPeer second;
    tunnel.reset(new QorTunnelClientInterface("client-1", "Tun-D", port, second.connect()));
    ASSERT_TRUE(second.run("echo"));
    EXPECT_EQ(echoThrough(port, "x"), "");
    EXPECT_TRUE(second.run("expect " + expectText(TYPE_OPEN, first + 1))) << second.output();
}

// 300 connections at once, each 1 byte to 4 MiB in random frames
// interleaved across the connections; every stream must come back whole on
// its own connection.
TEST_F(TunnelTest, ServerSideKeepsManyInterleavedConnectionsApart) {
    LocalServer local(LocalServer::Mode::ECHO);
    startServerSide(local.port());
    const int count = 300;
    ASSERT_TRUE(peer.run("blast " + std::to_string(count) + " 11", 180000)) << peer.output();
    // SENT lines come before the OK.
    std::multiset<std::string> sent;
    std::istringstream lines(peer.output());
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, 5, "SENT ") != 0) continue;
        std::istringstream words(line.substr(5));
        std::string id, bytes, sha;
        words >> id >> bytes >> sha;
        sent.insert(bytes + " " + sha);
    }
    ASSERT_EQ(sent.size(), static_cast<std::size_t>(count));
    ASSERT_TRUE(local.waitFinished(count, 60000));
    std::multiset<std::string> arrived;
    for (const auto& record : local.finished()) arrived.insert(std::to_string(record.bytes) + " " + record.sha);
    EXPECT_EQ(arrived, sent);
    EXPECT_EQ(tunnel->state(), ThreadState::RUNNING);
}

// The local applications send everything before they read: the tunnel
// must keep forwarding what they send while it waits to write to them.
TEST_F(TunnelTest, ClientSideKeepsManyConnectionsApart) {
    const int port = freeLoopbackPort();
    startClientSide(port);
    ASSERT_TRUE(run("echo"));
    const int count = 300;
    std::uint64_t state = 5;
    std::vector<std::future<std::string>> results;
    for (int i = 0; i < count; ++i) {
        const std::size_t size = i == 0 ? 1 : i == 1 ? 4u << 20 : logUniformSize(state, 1, 4u << 20);
        results.push_back(std::async(std::launch::async, [port, size, i] {
            return echoThrough(port, randomBytes(size, 1000 + static_cast<std::uint64_t>(i)));
        }));
    }
    int failures = 0;
    for (auto& result : results) {
        const std::string error = result.get();
        if (!error.empty() && ++failures < 5) ADD_FAILURE() << error;
    }
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(tunnel->state(), ThreadState::RUNNING);
}

// Many connections whose applications have megabytes buffered must not hold
// back a quiet one that speaks up: a pass forwards a bounded share of each,
// so its byte reaches the peer after a few megabytes of the others, not
// after a full frame from every one of them.
TEST_F(TunnelTest, BusyConnectionsDoNotHoldBackAQuietOne) {
    const int port = freeLoopbackPort();
    startClientSide(port);
    // The quiet connection is the oldest: a pass serves it after the others.
    const std::int32_t quietId = tunnelConnectionCounter.load();
    Poco::Net::StreamSocket quiet(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port)));
    ASSERT_TRUE(run("expect " + expectText(TYPE_OPEN, quietId)));
    const int busy = 64;
    const std::string bytes = randomBytes(4u << 20, 21);
    std::vector<Poco::Net::StreamSocket> sockets;
    std::vector<std::thread> writers;
    for (int i = 0; i < busy; ++i) {
        sockets.emplace_back(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port)));
        Poco::Net::StreamSocket socket = sockets.back();
        writers.emplace_back([socket, &bytes]() mutable {
            try {
                socket.sendBytes(bytes.data(), static_cast<int>(bytes.size()));
            } catch (const Poco::Exception&) {
                // Shut down at the end of the test.
            }
        });
    }
    const auto total = [&] { return std::stoll(peer.query("total", "TOTAL ")); };
    // The busy connections are in full flow.
    ASSERT_TRUE(eventually([&] { return total() >= (8 << 20); }));
    const long long before = total();
    quiet.sendBytes("x", 1);
    EXPECT_EQ(peer.query("expect-data " + std::to_string(quietId) + " 1", "DATA "),
              std::to_string(quietId) + " 1 " + sha256Hex("x"));
    const long long forwarded = total() - before;
    // A pass reads at most 4 MiB of all local connections together: a few
    // passes and the bytes on the way to the peer may come first, not the
    // 64 MiB of a full frame from each busy connection.
    EXPECT_LT(forwarded, 32ll << 20);
    for (auto& socket : sockets) shutDownSocket(socket);
    for (auto& writer : writers) writer.join();
    quiet.close();
    EXPECT_EQ(tunnel->state(), ThreadState::RUNNING);
}

struct BadInput {
    const char* name;
    std::vector<std::string> commands;
    const char* logged;  // a line the tunnel writes ("" for none)
};

// Broken or hostile frames are logged and dropped: no reply, nothing
// reaches a local socket, the tunnel goes on.
TEST_F(TunnelTest, BadFramesAreDroppedAndTheTunnelLivesOn) {
    const BadInput cases[] = {
        {"empty frame", {"frame -"}, "Tun-S: Ignoring a frame of 0 bytes from peer, shorter than its header"},
        {"1 byte", {"frame 00"}, "Ignoring a frame of 1 bytes"},
        {"7 bytes of DATA 1", {"frame 00000000010000"}, "Ignoring a frame of 7 bytes"},
        {"type 3", {"frame 0300000001000000"}, ""},
        {"type 0xffffffff", {"frame ffffffff01000000aabbcc"}, ""},
        {"DATA for an unknown id", {"data 77 100"}, ""},
        {"CLOSE for an unknown id", {"close 78"}, "Tun-S: Close tunnel cmd from 127.0.0.1, id 78"},
        {"text frame", {"text 0000000001000000"}, "Tun-S: Ignoring a text message of 16 bytes from peer"},
        {"ping", {"ping"}, ""},
        {"id 4294967295", {"open 4294967295", "close 4294967295"}, "Tun-S: Close tunnel cmd from 127.0.0.1, id 4294967295"},
    };
    LocalServer local(LocalServer::Mode::ECHO);
    startServerSide(local.port());
    // Connection 1 stays open throughout: nothing may reach it.
    ASSERT_TRUE(run("open 1"));
    int probe = 100;
    for (const BadInput& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        for (const std::string& command : c.commands) ASSERT_TRUE(run(command));
        expectAlive(probe);
        ASSERT_TRUE(run("close " + std::to_string(probe)));
        ++probe;
        if (*c.logged) {
            EXPECT_TRUE(log.contains(c.logged)) << ::testing::PrintToString(log.texts());
        }
    }
    ASSERT_TRUE(run("close 1"));
    ASSERT_TRUE(local.waitFinished(static_cast<std::size_t>(probe - 100 + 2), 20000));
    // Only the probes' bytes arrived anywhere; connection 1 got nothing.
    std::size_t empty = 0;
    for (const auto& record : local.finished()) {
        if (record.bytes == 0) {
            ++empty;
        } else {
            EXPECT_EQ(record.bytes, 1000u);
        }
    }
    EXPECT_EQ(empty, 2u);  // connection 1 and the id 4294967295
    EXPECT_EQ(framesSeen(), "");
}

// An OPEN for an id in service closes the old connection locally first;
// the new one takes the id.
TEST_F(TunnelTest, OpenForALiveIdReplacesTheConnection) {
    LocalServer local(LocalServer::Mode::ECHO);
    startServerSide(local.port());
    ASSERT_TRUE(run("open 5"));
    ASSERT_TRUE(run("data 5 10"));
    EXPECT_EQ(peer.query("expect-data 5 10", "DATA "), "5 10 " + sha256Hex(patternBytes(10)));
    ASSERT_TRUE(run("open 5"));
    ASSERT_TRUE(local.waitFinished(1, 20000));
    EXPECT_EQ(local.finished()[0].bytes, 10u);
    EXPECT_TRUE(log.contains("Tun-S: Connection 5 opened again by peer, closing the old one"));
    ASSERT_TRUE(run("data 5 20"));
    EXPECT_EQ(peer.query("expect-data 5 30", "DATA "), "5 30 " + sha256Hex(patternBytes(10) + patternBytes(20)));
    ASSERT_TRUE(run("close 5"));
    ASSERT_TRUE(local.waitFinished(2, 20000));
    EXPECT_EQ(local.finished()[1].bytes, 20u);
    EXPECT_EQ(local.accepted(), 2);
    EXPECT_EQ(framesSeen(), "");
}

TEST_F(TunnelTest, OpenWithNothingListeningIsAnsweredWithClose) {
    const int port = freeLoopbackPort();
    startServerSide(port);
    ASSERT_TRUE(run("open 3"));
    ASSERT_TRUE(run("expect " + expectText(TYPE_CLOSE, 3)));
    EXPECT_TRUE(log.contains("Tun-S: Can't connect locally to server (127.0.0.1:" + std::to_string(port) + ")"));
    LocalServer local(LocalServer::Mode::ECHO, port);
    expectAlive(4);
}

// The largest frame we accept carries a full 1 MiB read; one byte more ends
// the tunnel cleanly: logged, stopped, and every local socket closed.
TEST_F(TunnelTest, FrameSizeLimit) {
    LocalServer local(LocalServer::Mode::SINK);
    startServerSide(local.port());
    ASSERT_TRUE(run("open 1"));
    ASSERT_TRUE(run("open 2"));
    ASSERT_TRUE(run("data 1 1048576"));
    ASSERT_TRUE(run("close 1"));
    ASSERT_TRUE(local.waitFinished(1, 20000));
    EXPECT_EQ(local.finished()[0].bytes, 1048576u);
    EXPECT_EQ(local.finished()[0].sha, sha256Hex(patternBytes(1048576)));
    EXPECT_EQ(tunnel->state(), ThreadState::RUNNING);

    ASSERT_TRUE(run("data 2 1048577"));
    EXPECT_TRUE(eventually([&] { return ended(*tunnel); }));
    EXPECT_TRUE(log.contains("Tun-S: Frame from peer longer than 1048584 bytes, exiting ..."));
    // Connection 2 learns at once, not when the owner deletes the tunnel.
    ASSERT_TRUE(local.waitFinished(2, 20000));
    EXPECT_EQ(local.finished()[1].bytes, 0u);
    tunnel.reset();
}

// Every frame we send fits a peer that receives at most 1,048,576 bytes.
TEST_F(TunnelTest, LocalReadsFitTheSmallestPeerBuffer) {
    const int port = freeLoopbackPort();
    startClientSide(port);
    const std::int32_t id = tunnelConnectionCounter.load();
    const std::string bytes = randomBytes(8u << 20, 3);
    std::thread writer([&] {
        Poco::Net::StreamSocket socket(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port)));
        socket.sendBytes(bytes.data(), static_cast<int>(bytes.size()));
        socket.close();
    });
    
    EXPECT_EQ(peer.query("expect-data " + std::to_string(id) + " " + std::to_string(bytes.size()), "DATA "), std::to_string(id) + " " + std::to_string(bytes.size()) + " " + sha256Hex(bytes));
    writer.join();
    ASSERT_TRUE(run("expect " + expectText(TYPE_CLOSE, id)));
    // Each frame holds at most 1,048,568 bytes of a local read.
    EXPECT_EQ(peer.query("largest", "LARGEST "), "1048576");
}

// A local application that reads slowly through a small buffer gets every
// byte: the tunnel waits for it rather than drop or close.
TEST_F(TunnelTest, SlowLocalReaderGetsEveryByte) {
    LocalServer local(LocalServer::Mode::SINK, 0, 8192);
    local.pauseAfterReads(1);
    startServerSide(local.port());
    ASSERT_TRUE(run("open 1"));
    ASSERT_TRUE(run("data 1 1000000"));
    ASSERT_TRUE(run("data 1 1000000"));
    ASSERT_TRUE(run("close 1"));
    ASSERT_TRUE(local.waitFinished(1, 60000));
    EXPECT_EQ(local.finished()[0].bytes, 2000000u);
    EXPECT_EQ(local.finished()[0].sha, sha256Hex(patternBytes(1000000) + patternBytes(1000000)));
    EXPECT_EQ(framesSeen(), "");
}

TEST_F(TunnelTest, LocalResetClosesOnlyThatConnection) {
    LocalServer local(LocalServer::Mode::ECHO);
    local.resetAfter(100000);
    startServerSide(local.port());
    ASSERT_TRUE(run("open 1"));
    ASSERT_TRUE(run("open 2"));
    ASSERT_TRUE(run("data 2 100"));
    EXPECT_EQ(peer.query("expect-data 2 100", "DATA "), "2 100 " + sha256Hex(patternBytes(100)));
    // Connection 1 resets in the middle of a stream of frames.
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(run("data 1 60000"));
    ASSERT_TRUE(run("expect " + expectText(TYPE_CLOSE, 1)));
    ASSERT_TRUE(run("data 2 100"));
    
    EXPECT_EQ(peer.query("expect-data 2 200", "DATA "), "2 200 " + sha256Hex(patternBytes(100) + patternBytes(100)));
    EXPECT_EQ(tunnel->state(), ThreadState::RUNNING);
    expectAlive(3);
}

TEST_F(TunnelTest, LostPeerStopsTheTunnel) {
    LocalServer local(LocalServer::Mode::ECHO);
    startServerSide(local.port());
    ASSERT_TRUE(run("open 1"));
    ASSERT_TRUE(run("kill"));
    EXPECT_TRUE(eventually([&] { return ended(*tunnel); }));
    EXPECT_TRUE(log.contains("Tun-S: Shutdown done"));
    // The local connection is closed with the tunnel's end.
    EXPECT_TRUE(local.waitFinished(1, 20000));
}

TEST_F(TunnelTest, PeerClosingTheWebSocketStopsTheTunnel) {
    LocalServer local(LocalServer::Mode::ECHO);
    startServerSide(local.port());
    ASSERT_TRUE(run("closews"));
    EXPECT_TRUE(eventually([&] { return ended(*tunnel); }));
    EXPECT_TRUE(log.contains("Tun-S: Peer shutdown, exiting ... "));
}

TEST_F(TunnelTest, BlockedListenPortLeavesTheClientSideStopped) {
    Poco::Net::ServerSocket taken(Poco::Net::SocketAddress("127.0.0.1", 0));
    const int port = taken.address().port();
    startClientSide(port);
    EXPECT_EQ(tunnel->state(), ThreadState::STOP_REQUESTED);
    EXPECT_FALSE(tunnel->started());
    EXPECT_TRUE(log.contains("Tun-C (Listen): Bind of socket failed '"));
    EXPECT_TRUE(log.contains("Tun-C: Couldn't start listener thread, port blocked ?"));
    // The WebSocket went with a closing handshake.
    EXPECT_TRUE(run("expect-closed"));
    tunnel.reset();
}

// A tunnel deleted right after its set-up, before its threads ran: the stop
// is not overwritten by "running", and the deletion does not hang.
TEST_F(TunnelTest, DeletedRightAfterSetUp) {
    LocalServer local(LocalServer::Mode::ECHO);
    for (int i = 0; i < 3; ++i) {
        TunnelPeer server;
        std::unique_ptr<QorTunnelInterface> quick(
            new QorTunnelServerInterface("c", "Quick-S", local.port(), server.connect()));
        quick.reset();
        TunnelPeer client;
        quick.reset(new QorTunnelClientInterface("c", "Quick-C", freeLoopbackPort(), client.connect()));
        quick.reset();
    }
    EXPECT_EQ(log.count("Tunnel thread does not stop"), 0);
}

// A peer that stops reading blocks the tunnel's sends; deleting the tunnel
// must still return.
TEST_F(TunnelTest, DeletionDoesNotWaitForAHungPeer) {
    const int port = freeLoopbackPort();
    startClientSide(port);
    ASSERT_TRUE(run("stall"));
    // More than the socket buffers on the way hold.
    std::string bytes = randomBytes(128u << 20, 9);
    Poco::Net::StreamSocket socket(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port)));
    socket.setSendTimeout(Poco::Timespan(1, 0));
    try {
        socket.sendBytes(bytes.data(), static_cast<int>(bytes.size()));
    } catch (const Poco::Exception&) {
        // The tunnel stopped taking bytes: it is stuck in a send to the peer.
    }
    const auto start = std::chrono::steady_clock::now();
    tunnel.reset();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(10));
    EXPECT_TRUE(log.contains("Tun-C: Tunnel thread does not stop, shutting the connection to the peer down"));
}

// A local application that stops reading blocks a write to it; a stop
// request still ends the tunnel.
TEST_F(TunnelTest, StopDoesNotWaitForALocalApplicationThatDoesNotRead) {
    // A small receive buffer: the tunnel's send buffer (at most 4 MiB) is
    // all that takes bytes for the application.
    LocalServer local(LocalServer::Mode::SILENT, 0, 8192);
    startServerSide(local.port());
    ASSERT_TRUE(run("open 1"));
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(run("data 1 1000000"));
    const auto start = std::chrono::steady_clock::now();
    tunnel->stop(false, false);
    EXPECT_TRUE(eventually([&] { return ended(*tunnel); }, 5000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    tunnel.reset();
    EXPECT_EQ(log.count("Tunnel thread does not stop"), 0);
}

// Out of descriptors, an OPEN is answered with CLOSE, and the tunnel lives on
// once descriptors are free again.
TEST_F(TunnelTest, OpenWithoutDescriptorsIsAnsweredWithClose) {
#if defined(QDK_ADDRESS_SANITIZER)
    // UndefinedBehaviorSanitizer checks each object it is called on through
    // a pipe of its own; without a free descriptor it reports every such
    // call as an invalid object.
    GTEST_SKIP() << "the sanitizers need descriptors of their own";
#endif
    LocalServer local(LocalServer::Mode::ECHO);
    startServerSide(local.port());
    ASSERT_TRUE(run("open 1"));
    ASSERT_TRUE(peer.run("open 2"));  // warm: the tunnel serves the peer
    // Few descriptors above those in use, so that taking them all is quick.
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    int highest = 0;
    for (int fd = 0; fd < static_cast<int>(saved.rlim_cur); ++fd)
        if (fcntl(fd, F_GETFD) != -1) highest = fd;
    struct rlimit reduced = saved;
    reduced.rlim_cur = static_cast<rlim_t>(highest + 64);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &reduced), 0);
    // The OPEN's header arrives first; the tunnel waits in the middle of
    // the frame while another thread takes every descriptor that is left,
    // and each one that comes free until the CLOSE is there (the tunnel's
    // poll may close one of its own after the first sweep).
    ASSERT_TRUE(peer.process().writeLine("slowopen 9 600")) << peer.output();
    ASSERT_EQ(peer.nextLine("HALF"), "");
    std::vector<int> filler;
    std::atomic<bool> filling{true};
    std::promise<void> firstSweep;
    std::thread hog([&] {
        bool swept = false;
        while (filling.load()) {
            for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filler.push_back(fd);
            if (!swept) firstSweep.set_value();
            swept = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    firstSweep.get_future().wait();
    const bool closed = peer.run("expect " + expectText(TYPE_CLOSE, 9), 20000);
    filling.store(false);
    hog.join();
    for (int fd : filler) ::close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(closed) << peer.output();
    EXPECT_TRUE(log.contains("Tun-S: Can't connect locally to server (127.0.0.1:" + std::to_string(local.port()) + ")"));
    EXPECT_EQ(tunnel->state(), ThreadState::RUNNING);
    expectAlive(10);
}

namespace {

Poco::Net::StreamSocket connectTo(int port) {
    return Poco::Net::StreamSocket(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port)));
}

// Sends the text and reads as many bytes back; the error, or "".
std::string roundTrip(Poco::Net::StreamSocket& socket, const std::string& text) {
    try {
        socket.sendBytes(text.data(), static_cast<int>(text.size()));
        std::string back;
        char buffer[256];
        while (back.size() < text.size()) {
            const int n = socket.receiveBytes(buffer, static_cast<int>(std::min(sizeof buffer, text.size() - back.size())));
            if (n <= 0) return "the connection ended";
            back.append(buffer, static_cast<std::size_t>(n));
        }
        return back == text ? "" : "'" + back + "' came back for '" + text + "'";
    } catch (const Poco::Exception& e) {
        return e.displayText();
    }
}

// Reads size bytes; the SHA-256 of what came, or the error in angle brackets.
std::string readAll(Poco::Net::StreamSocket socket, std::size_t size) {
    Sha256 sha;
    std::vector<char> buffer(1 << 20);
    std::size_t done = 0;
    try {
        while (done < size) {
            const int n = socket.receiveBytes(buffer.data(), static_cast<int>(std::min(buffer.size(), size - done)));
            if (n <= 0) return "<ended after " + std::to_string(done) + " bytes>";
            sha.update(buffer.data(), static_cast<std::size_t>(n));
            done += static_cast<std::size_t>(n);
        }
    } catch (const Poco::Exception& e) {
        return "<" + e.displayText() + " after " + std::to_string(done) + " bytes>";
    }
    return sha.hex();
}

const char* const PAUSED_LINE = "pausing reads from peer";
const char* const RESUMED_LINE = "Local applications took the waiting bytes, reading from peer again";

// The pause and resume lines in order: each stall logged once, each resume
// once, so that they alternate. "" when they do, else what came.
std::string pausesAlternate(const LogCapture& log) {
    std::string seen;
    bool paused = false;
    bool alternate = true;
    for (const std::string& line : log.texts()) {
        const bool pause = line.find(PAUSED_LINE) != std::string::npos;
        const bool resume = line.find(RESUMED_LINE) != std::string::npos;
        if (!pause && !resume) continue;
        seen += pause ? "P" : "R";
        if (pause == paused) alternate = false;
        paused = pause;
    }
    return alternate && !paused ? "" : seen;
}

} // namespace

// A local application that stops reading while the peer sends it megabytes
// does not hold up the others: its bytes wait in its connection's buffer
// while another connection's round trips go on, and it gets every byte
// once it reads again.
TEST_F(TunnelTest, PausedReaderDoesNotHoldUpTheOtherConnections) {
    const int port = freeLoopbackPort();
    startClientSide(port);
    ASSERT_TRUE(run("echo"));
    const std::int32_t pausedId = tunnelConnectionCounter.load();
    Poco::Net::StreamSocket paused = connectTo(port);
    ASSERT_TRUE(run("expect " + expectText(TYPE_OPEN, pausedId)));
    const std::int32_t tickingId = tunnelConnectionCounter.load();
    Poco::Net::StreamSocket ticking = connectTo(port);
    ASSERT_TRUE(run("expect " + expectText(TYPE_OPEN, tickingId)));
    ticking.setReceiveTimeout(Poco::Timespan(10, 0));

    // More than the socket buffers on the way hold, less than the bound of
    // one connection.
    const std::size_t size = 12u << 20;
    auto streamed = std::async(std::launch::async, [&] {
        return peer.run("stream " + std::to_string(pausedId) + " " + std::to_string(size), 60000);
    });
    // Round trips on the other connection while the first reads nothing:
    // while the stream is on its way, and a few more once it is all sent.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int ticks = 0;
    int afterStream = 0;
    while (afterStream < 5 && std::chrono::steady_clock::now() < deadline) {
        const bool streamSent = streamed.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        const std::string error = roundTrip(ticking, "tick-" + std::to_string(ticks));
        ASSERT_EQ(error, "") << "round trip " << ticks << " while connection " << pausedId << " does not read";
        ++ticks;
        if (streamSent) ++afterStream;
    }
    ASSERT_EQ(streamed.wait_for(std::chrono::seconds(0)), std::future_status::ready)
        << "the peer could not send the stream while the application did not read";
    EXPECT_TRUE(streamed.get()) << peer.output();
    EXPECT_EQ(readAll(paused, size), sha256Hex(patternBytes(size)));
    EXPECT_EQ(log.count(PAUSED_LINE), 0);
    EXPECT_EQ(roundTrip(ticking, "last"), "");
    EXPECT_EQ(tunnel->state(), ThreadState::RUNNING);
}

// The peer sends its last bytes and closes the WebSocket while the local
// application is still reading slowly: the bytes that wait for it are
// written before its connection is closed.
TEST_F(TunnelTest, BytesSentBeforeThePeerClosedAllArrive) {
    LocalServer local(LocalServer::Mode::SINK, 0, 8192);
    local.pauseAfterReads(1);
    startServerSide(local.port());
    // More than the socket buffers on the way hold.
    const std::size_t size = 12u << 20;
    ASSERT_TRUE(run("open 1"));
    ASSERT_TRUE(run("stream 1 " + std::to_string(size)));
    ASSERT_TRUE(run("closews"));
    EXPECT_TRUE(eventually([&] { return ended(*tunnel); }));
    ASSERT_TRUE(local.waitFinished(1, 30000));
    EXPECT_EQ(local.finished()[0].bytes, size);
    EXPECT_EQ(local.finished()[0].sha, sha256Hex(patternBytes(size)));
}

struct BoundCase {
    const char* name;
    int connections;
    std::size_t bytesEach;
    const char* pauseLine;
};

// Applications that read nothing while the peer sends them more than the
// bounds allow: the tunnel stops reading from the peer (and says so), and
// every byte still arrives once they read.
TEST_F(TunnelTest, BoundsPauseReadingFromThePeerAndLoseNothing) {
    // Each connection's share stays below the bound of one connection in
    // the second case; the socket buffers on the way hold at most about
    // 4 MiB of each.
    const BoundCase cases[] = {
        {"one connection over its bound", 1, 24u << 20, "bytes waiting for its local application, pausing reads from peer"},
        {"all connections together over the bound", 4, 15u << 20, "bytes wait for local applications, pausing reads from peer"},
    };
    static_assert(15u << 20 < QorTunnelInterface::MAX_PENDING_PER_CONNECTION, "below the bound of one connection");
    static_assert(4 * ((15u << 20) - (5u << 20)) > QorTunnelInterface::MAX_PENDING_TOTAL, "over the bound of all");
    for (const BoundCase& c : cases) {
        SCOPED_TRACE(c.name);
        TunnelPeer own;
        const int port = freeLoopbackPort();
        tunnel.reset(new QorTunnelClientInterface("client-1", "Tun-B", port, own.connect()));
        log.clear();
        std::vector<std::int32_t> ids;
        std::vector<Poco::Net::StreamSocket> sockets;
        for (int i = 0; i < c.connections; ++i) {
            ids.push_back(tunnelConnectionCounter.load());
            sockets.push_back(connectTo(port));
            ASSERT_TRUE(own.run("expect " + expectText(TYPE_OPEN, ids.back()))) << own.output();
        }
        auto streamed = std::async(std::launch::async, [&] {
            for (std::int32_t id : ids)
                if (!own.run("stream " + std::to_string(id) + " " + std::to_string(c.bytesEach), 60000)) return false;
            return true;
        });
        ASSERT_TRUE(log.waitFor(c.pauseLine, 60000)) << ::testing::PrintToString(log.texts());
        // Now the applications read, all at once.
        std::vector<std::future<std::string>> reads;
        for (auto& socket : sockets)
            reads.push_back(std::async(std::launch::async, readAll, socket, c.bytesEach));
        for (auto& read : reads) EXPECT_EQ(read.get(), sha256Hex(patternBytes(c.bytesEach)));
        EXPECT_TRUE(streamed.get()) << own.output();
        EXPECT_TRUE(log.waitFor(RESUMED_LINE, 20000));
        EXPECT_EQ(pausesAlternate(log), "");
        EXPECT_EQ(tunnel->state(), ThreadState::RUNNING);
        tunnel.reset();
    }
}

namespace {

// What the system holds unsent in the send queues of the established
// loopback connections whose local port (or, for remote, whose remote port)
// is the port: the sum of /proc/net/tcp's tx_queue.
std::uint64_t unsentOnPort(int port, bool remote) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the heading
    std::uint64_t sum = 0;
    while (std::getline(table, line)) {
        std::istringstream row(line);
        std::string slot, local, peer, state, queues;
        if (!(row >> slot >> local >> peer >> state >> queues) || state != "01") continue;
        const std::string& end = remote ? peer : local;
        if (std::stoi(end.substr(end.find(':') + 1), nullptr, 16) != port) continue;
        sum += std::stoull(queues.substr(0, queues.find(':')), nullptr, 16);
    }
    return sum;
}

struct StallCase {
    const char* name;
    // The peer's OPENs go to a local service (server side), or local
    // applications connect to the tunnel's port (client side).
    bool clientSide;
};

} // namespace

// A peer that pushes data to 500 connections whose local applications
// never read: the system holds a small fixed send buffer for each local
// socket, under 64 MiB for them all (Linux would grow each buffer up to
// 4 MiB by itself, over a gigabyte for the tunnel, and bring every socket
// of the machine under memory pressure), and the rest waits in the
// tunnel's own bounded buffers until it stops reading from the peer.
TEST_F(TunnelTest, StalledApplicationsKeepTheSystemsSendQueuesBounded) {
    const StallCase cases[] = {
        {"the peer's connections to a service that never reads", false},
        {"local applications that connect and never read", true},
    };
    constexpr int count = 500;
    constexpr std::uint64_t bound = 64u << 20;
    // Frames small enough to reach every connection many times before the
    // tunnel's bound is reached.
    constexpr int frame = 64 * 1024;
    for (const StallCase& c : cases) {
        SCOPED_TRACE(c.name);
        TunnelPeer own;
        log.clear();
        std::unique_ptr<LocalServer> service;
        std::vector<Poco::Net::StreamSocket> applications;
        int port = 0;
        std::int32_t first = 1;
        if (c.clientSide) {
            port = freeLoopbackPort();
            tunnel.reset(new QorTunnelClientInterface("client-1", "Tun-Q", port, own.connect()));
            first = tunnelConnectionCounter.load();
            for (int i = 0; i < count; ++i) applications.push_back(connectTo(port));
            ASSERT_TRUE(own.run("expect " + expectText(TYPE_OPEN, first + count - 1))) << own.output();
        } else {
            service.reset(new LocalServer(LocalServer::Mode::SILENT));
            port = service->port();
            tunnel.reset(new QorTunnelServerInterface("client-1", "Tun-Q", port, own.connect()));
            ASSERT_TRUE(own.run("openmany 1 " + std::to_string(count))) << own.output();
            ASSERT_TRUE(eventually([&] { return service->accepted() == count; }, 60000));
        }
        ASSERT_TRUE(own.run("flood " + std::to_string(first) + " " + std::to_string(count) + " " +
                            std::to_string(frame)))
            << own.output();
        // Until the tunnel has stopped reading from the peer and a moment
        // after, or at once when the queues pass the bound.
        std::uint64_t most = 0;
        bool paused = false;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (most < bound && std::chrono::steady_clock::now() < end) {
            most = std::max(most, unsentOnPort(port, !c.clientSide));
            if (!paused && log.contains(PAUSED_LINE)) {
                paused = true;
                end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_LT(most, bound) << "bytes unsent in the send queues of the local sockets";
        EXPECT_TRUE(paused) << "the tunnel did not stop reading from the peer";
        EXPECT_EQ(tunnel->state(), ThreadState::RUNNING);
        tunnel.reset();
    }
}

// The local service is too busy to take connections (its backlog is full):
// each connect of an OPEN runs out its time without holding up the
// connection in service, and every OPEN is answered with CLOSE.
TEST_F(TunnelTest, ConnectsToABusyServiceDoNotHoldUpTheOthers) {
    Poco::Net::ServerSocket busy;
    busy.bind(Poco::Net::SocketAddress("127.0.0.1", 0), true, false);
    busy.listen(0);
    const int port = busy.address().port();
    startServerSide(port);
    ASSERT_TRUE(run("echo"));
    ASSERT_TRUE(run("open 1"));
    ASSERT_TRUE(busy.poll(Poco::Timespan(20, 0), Poco::Net::Socket::SELECT_READ));
    Poco::Net::StreamSocket served = busy.acceptConnection();
    served.setReceiveTimeout(Poco::Timespan(5, 0));
    // One more connection waits in the backlog, which is full from now on.
    Poco::Net::StreamSocket waiting = connectTo(port);
    ASSERT_EQ(roundTrip(served, "before"), "");

    const int opens = 400;
    ASSERT_TRUE(run("openmany 1000 " + std::to_string(opens)));
    const auto closes = [&] { return std::stoi(peer.query("count " + std::to_string(TYPE_CLOSE), "COUNT ")); };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int ticks = 0;
    while (closes() < opens && std::chrono::steady_clock::now() < deadline) {
        ASSERT_EQ(roundTrip(served, "tick-" + std::to_string(ticks)), "") << "while the connects time out";
        ++ticks;
    }
    EXPECT_EQ(closes(), opens);
    EXPECT_EQ(log.count("Tun-S: Can't connect locally to server (127.0.0.1:" + std::to_string(port) + ")"), opens);
    EXPECT_TRUE(eventually([&] { return tunnel->connectionCount() == 1; }));
    EXPECT_EQ(roundTrip(served, "after"), "");
    EXPECT_EQ(tunnel->state(), ThreadState::RUNNING);
}

// A peer that opens more connections than a tunnel may hold gets CLOSE for
// those beyond; the limit is logged once while it lasts.
TEST_F(TunnelTest, OpensBeyondTheConnectionLimitAreClosed) {
    // Connections complete in its backlog and wait there.
    Poco::Net::ServerSocket holder;
    holder.bind(Poco::Net::SocketAddress("127.0.0.1", 0), true, false);
    holder.listen(QorTunnelInterface::MAX_CONNECTIONS + 64);
    startServerSide(holder.address().port());
    const int limit = QorTunnelInterface::MAX_CONNECTIONS;
    const int extra = 10;
    const std::string limitLine = "Tun-S: Holding " + std::to_string(limit) +
                                  " connections, the most a tunnel may hold: refusing new ones";
    ASSERT_TRUE(run("openmany 2000 " + std::to_string(limit + extra)));
    for (int id = 2000 + limit; id < 2000 + limit + extra; ++id) ASSERT_TRUE(run("expect " + expectText(TYPE_CLOSE, id)));
    EXPECT_EQ(peer.query("count " + std::to_string(TYPE_CLOSE), "COUNT "), std::to_string(extra));
    EXPECT_EQ(tunnel->connectionCount(), limit);
    EXPECT_EQ(log.count(limitLine), 1);
    // Below the limit again, a new connection is taken; the next one beyond
    // is refused and logged again.
    ASSERT_TRUE(run("close 2000"));
    ASSERT_TRUE(eventually([&] { return tunnel->connectionCount() == limit - 1; }));
    ASSERT_TRUE(run("open 3000"));
    ASSERT_TRUE(run("open 3001"));
    ASSERT_TRUE(run("expect " + expectText(TYPE_CLOSE, 3001)));
    EXPECT_EQ(peer.query("count " + std::to_string(TYPE_CLOSE), "COUNT "), std::to_string(extra + 1));
    EXPECT_EQ(tunnel->connectionCount(), limit);
    EXPECT_EQ(log.count(limitLine), 2);
    EXPECT_EQ(tunnel->state(), ThreadState::RUNNING);
}

// Local connections beyond the limit are closed at once and never announced.
TEST_F(TunnelTest, LocalConnectionsBeyondTheLimitAreClosed) {
    // The test holds both ends of every connection.
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit raised = saved;
    raised.rlim_cur = std::max<rlim_t>(saved.rlim_cur, std::min<rlim_t>(saved.rlim_max, 8192));
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    ASSERT_GE(raised.rlim_cur, 4u * QorTunnelInterface::MAX_CONNECTIONS);
    const int port = freeLoopbackPort();
    startClientSide(port);
    const int limit = QorTunnelInterface::MAX_CONNECTIONS;
    std::vector<Poco::Net::StreamSocket> sockets;
    for (int i = 0; i < limit + 1; ++i) sockets.push_back(connectTo(port));
    // The peer sends nothing: the only socket that becomes readable is the
    // one that the tunnel closed.
    Poco::Net::Socket::SocketList readable(sockets.begin(), sockets.end());
    Poco::Net::Socket::SocketList none;
    Poco::Net::Socket::SocketList failed(sockets.begin(), sockets.end());
    ASSERT_GT(Poco::Net::Socket::select(readable, none, failed, Poco::Timespan(20, 0)), 0);
    ASSERT_EQ(readable.size(), 1u);
    char byte = 0;
    int got = -1;
    try {
        got = Poco::Net::StreamSocket(readable.front()).receiveBytes(&byte, 1);
    } catch (const Poco::Exception&) {
        got = 0;  // reset
    }
    EXPECT_EQ(got, 0);
    EXPECT_TRUE(log.waitFor("Tun-C: Holding " + std::to_string(limit) +
                                " connections, the most a tunnel may hold: refusing new ones",
                            20000));
    EXPECT_TRUE(eventually([&] { return peer.query("count " + std::to_string(TYPE_OPEN), "COUNT ") == std::to_string(limit); }));
    for (auto& socket : sockets) socket.close();
    EXPECT_TRUE(eventually([&] { return tunnel->connectionCount() == 0; }));
    tunnel.reset();
    setrlimit(RLIMIT_NOFILE, &saved);
}

namespace {

std::string hexOf(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

std::string frameHeader(std::uint32_t type, std::uint32_t id) {
    std::string header(8, '\0');
    for (int i = 0; i < 4; ++i) {
        header[static_cast<std::size_t>(i)] = static_cast<char>(type >> (8 * i));
        header[static_cast<std::size_t>(4 + i)] = static_cast<char>(id >> (8 * i));
    }
    return header;
}

// WebSocket opcodes and one raw frame for the peer's "raw" command.
constexpr int OP_CONT = 0;
constexpr int OP_TEXT = 1;
constexpr int OP_BINARY = 2;
constexpr int OP_PING = 9;

std::string raw(int opcode, bool fin, const std::string& bytes) {
    return std::to_string(opcode) + ":" + (fin ? "1" : "0") + ":" + (bytes.empty() ? "-" : hexOf(bytes));
}

struct FragmentCase {
    const char* name;
    std::uint32_t id;                 // the connection of the case
    std::vector<std::string> frames;  // as raw(...)
    std::string delivered;            // what reaches that connection
    const char* logged;               // a line the tunnel writes ("" for none)
};

} // namespace

// A tunnel frame is one WebSocket message, however the peer fragments it:
// the fragments are joined before the frame is read, a ping between them
// is answered, and nothing of a later fragment is taken for a frame.
TEST_F(TunnelTest, FragmentedMessageIsOneFrame) {
    const std::string open5 = frameHeader(TYPE_OPEN, 5);
    const auto data = [](std::uint32_t id) { return frameHeader(TYPE_DATA, id); };
    const FragmentCase cases[] = {
        {"the second fragment begins with the bytes of an OPEN", 10,
         {raw(OP_BINARY, false, data(10) + "abc"), raw(OP_CONT, true, open5)}, "abc" + open5, ""},
        {"a ping between fragments", 11,
         {raw(OP_BINARY, false, data(11) + "de"), raw(OP_PING, true, "ping"), raw(OP_CONT, false, "f"),
          raw(OP_CONT, true, "g")},
         "defg", ""},
        {"the header split over three fragments", 12,
         {raw(OP_BINARY, false, data(12).substr(0, 3)), raw(OP_CONT, false, data(12).substr(3)),
          raw(OP_CONT, true, "xyz")},
         "xyz", ""},
        {"empty fragments", 13,
         {raw(OP_BINARY, false, ""), raw(OP_CONT, false, data(13) + "q"), raw(OP_CONT, true, "")}, "q", ""},
        {"a text message in fragments", 14,
         {raw(OP_TEXT, false, data(14) + "not"), raw(OP_CONT, true, "this"), raw(OP_BINARY, true, data(14) + "but")},
         "but", "Tun-S: Ignoring a text message of 15 bytes from peer"},
    };
    LocalServer local(LocalServer::Mode::ECHO);
    startServerSide(local.port());
    for (const FragmentCase& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        const std::string id = std::to_string(c.id);
        ASSERT_TRUE(run("open " + id));
        std::string command = "raw";
        for (const std::string& frame : c.frames) command += " " + frame;
        ASSERT_TRUE(run(command));
        const std::string size = std::to_string(c.delivered.size());
        EXPECT_EQ(peer.query("expect-data " + id + " " + size, "DATA ", 20000),
                  id + " " + size + " " + sha256Hex(c.delivered));
        if (*c.logged) {
            EXPECT_TRUE(log.contains(c.logged)) << ::testing::PrintToString(log.texts());
        }
    }
    // Only the cases' connections reached the local server: no fragment was
    // taken for an OPEN.
    EXPECT_EQ(local.accepted(), static_cast<int>(std::size(cases)));
    EXPECT_EQ(framesSeen(), "");
    EXPECT_EQ(tunnel->state(), ThreadState::RUNNING);
}

struct BrokenCase {
    const char* name;
    std::vector<std::string> frames;
    const char* logged;
};

// Fragments that break the WebSocket protocol, or a message longer than a
// frame may be, end the tunnel cleanly: logged, stopped, local connections
// closed.
TEST_F(TunnelTest, FragmentsThatBreakTheProtocolEndTheTunnel) {
    const std::string data1 = frameHeader(TYPE_DATA, 1);
    const BrokenCase cases[] = {
        {"a continuation outside a message", {raw(OP_CONT, true, data1 + "x")},
         "Tun-B: Peer sent a continuation frame outside a message, exiting ..."},
        {"a new message inside a fragmented one", {raw(OP_BINARY, false, data1), raw(OP_BINARY, true, data1)},
         "Tun-B: Peer sent a new message inside a fragmented one, exiting ..."},
        {"fragments longer than the longest frame",
         {raw(OP_BINARY, false, data1), "0:0:*1048576", raw(OP_CONT, true, "x")},
         "Tun-B: Frame from peer longer than 1048584 bytes, exiting ..."},
    };
    LocalServer local(LocalServer::Mode::SINK);
    std::size_t finished = 0;
    for (const BrokenCase& c : cases) {
        SCOPED_TRACE(c.name);
        TunnelPeer own;
        tunnel.reset(new QorTunnelServerInterface("client-1", "Tun-B", local.port(), own.connect()));
        log.clear();
        ASSERT_TRUE(own.run("open 1")) << own.output();
        ASSERT_TRUE(own.run("data 1 10")) << own.output();
        std::string command = "raw";
        for (const std::string& frame : c.frames) command += " " + frame;
        ASSERT_TRUE(own.run(command)) << own.output();
        EXPECT_TRUE(eventually([&] { return ended(*tunnel); }));
        EXPECT_TRUE(log.contains(c.logged)) << ::testing::PrintToString(log.texts());
        // The local connection learns at once; it got only what came whole.
        ASSERT_TRUE(local.waitFinished(++finished, 20000));
        EXPECT_EQ(local.finished().back().bytes, 10u);
        tunnel.reset();
    }
}

namespace {

struct ReuseCase {
    const char* name;
    // The application ends the connection under the id first: our CLOSE
    // and the peer's cross.
    bool applicationEndsFirst;
};

} // namespace

// The peer's CLOSE comes for an id that no connection has (there never was
// one, or ours for it crossed the peer's), and at once, in the same read,
// its OPEN and DATA for the id: the new connection works. Its application
// answers the peer, and when the application ends it the peer hears CLOSE.
TEST_F(TunnelTest, OpenRightAfterCloseOfAnIdWithoutConnectionWorks) {
    const ReuseCase cases[] = {
        {"no connection ever had the id", false},
        {"the CLOSEs of the id crossed", true},
    };
    constexpr std::uint32_t id = 9;
    const std::string idText = std::to_string(id);
    const std::string close = expectText(TYPE_CLOSE, id);
    for (const ReuseCase& c : cases) {
        SCOPED_TRACE(c.name);
        // Each connection echoes what it reads and resets once it has read
        // more than 1000 bytes.
        LocalServer local(LocalServer::Mode::ECHO);
        local.resetAfter(1000);
        TunnelPeer own;
        tunnel.reset(new QorTunnelServerInterface("client-1", "Tun-R", local.port(), own.connect()));
        // What came back on the id before, and the CLOSE frames of the id
        // that the peer hears in all.
        std::string echoedBefore;
        std::string closes = "2:" + idText;
        if (c.applicationEndsFirst) {
            ASSERT_TRUE(own.run("open " + idText)) << own.output();
            ASSERT_TRUE(own.run("data " + idText + " 1001")) << own.output();
            ASSERT_TRUE(own.run("expect " + close)) << own.output();
            // Nothing comes on the id once we sent CLOSE: what the
            // application echoed before its reset is all there is.
            std::istringstream got(own.query("expect-data " + idText + " 0", "DATA " + idText + " "));
            std::size_t count = 0;
            ASSERT_TRUE(got >> count);
            echoedBefore = patternBytes(count);
            closes += ",2:" + idText;
        }
        const std::string burst = "burst " + raw(OP_BINARY, true, frameHeader(TYPE_CLOSE, id)) + " " +
                                  raw(OP_BINARY, true, frameHeader(TYPE_OPEN, id)) + " " +
                                  raw(OP_BINARY, true, frameHeader(TYPE_DATA, id) + patternBytes(1000));
        ASSERT_TRUE(own.run(burst)) << own.output();
        const std::size_t expected = echoedBefore.size() + 1000;
        EXPECT_EQ(own.query("expect-data " + idText + " " + std::to_string(expected), "DATA ", 20000),
                  idText + " " + std::to_string(expected) + " " + sha256Hex(echoedBefore + patternBytes(1000)));
        // One byte more and the application resets: the peer hears CLOSE.
        ASSERT_TRUE(own.run("data " + idText + " 1")) << own.output();
        EXPECT_TRUE(eventually([&] { return own.query("frames", "FRAMES ") == closes; }, 20000))
            << own.query("frames", "FRAMES ");
        EXPECT_EQ(local.accepted(), c.applicationEndsFirst ? 2 : 1);
        EXPECT_EQ(tunnel->state(), ThreadState::RUNNING);
        tunnel.reset();
    }
}
