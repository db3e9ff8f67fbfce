// The running js-bridge against independent clients: curl for the HTTP
// answers, Debian's python3-websockets for the page's WebSocket, a raw TCP
// socket for the connection handling. Accepted sockets reach a test event
// thread in place of NativeClient.
#include "JsBridge.h"

#include "BridgePeerFilter.h"
#include "LogCapture.h"
#include "NativeClientWebSocketEvent.h"
#include "PeerProcess.h"
#include "QorEventThread.h"
#include "QorWebSocket.h"
#include "SocketDiagnosticsDenial.h"
#include "TestPaths.h"

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Exception.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/String.h>
#include <Poco/Timespan.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace qor;

namespace {

constexpr int kPeerMs = 60000;  // a helper process's whole run, on a loaded machine
constexpr int kEventMs = 30000; // an accepted socket reaching the event thread

// Stands in for NativeClient: keeps every socket handed over.
class SocketCollector : public QorEventThread {
public:
    struct Arrival {
        std::unique_ptr<QorWebSocket> socket;
        std::string clientId;
    };

    SocketCollector() : QorEventThread(false) {
        setName("Collector");
        start(-1);
    }
    ~SocketCollector() override { stopEventLoop(); }

    void eventLoop() override {
        while (isRunning()) {
            Poco::AutoPtr<BaseEvent> event = waitForEvent();
            if (!event || event->type() != NativeClientBaseEvent::WEB_SOCKET_CONNECTED) continue;
            auto& connected = static_cast<NativeClientWebSocketEvent&>(*event);
            NativeClientWebSocketEvent::Socket socket = connected.takeSocket();
            std::lock_guard<std::mutex> lock(mutex_);
            arrivals_.push_back({std::unique_ptr<QorWebSocket>(socket.release()), connected.clientId});
            arrived_.notify_all();
        }
    }

    // The next arrival, or one without a socket after the time-out.
    Arrival next(int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !arrivals_.empty(); }))
            return {};
        Arrival arrival = std::move(arrivals_.front());
        arrivals_.erase(arrivals_.begin());
        ++taken_;
        return arrival;
    }
    int count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return taken_ + static_cast<int>(arrivals_.size());
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Arrival> arrivals_;
    int taken_ = 0;
};

// The payload ws_peer.py sends and expects for a size.
std::string pattern(int size) {
    std::string text(static_cast<std::size_t>(size), 'a');
    for (int i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7 + size) % 26);
    return text;
}

std::string withNonce(std::string text, const std::string& nonce) {
    for (std::size_t at = text.find("{nonce}"); at != std::string::npos; at = text.find("{nonce}"))
        text.replace(at, 7, nonce);
    return text;
}

struct HttpAnswer {
    int status = 0;
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;

    std::string header(const std::string& lowerCaseName) const {
        const auto found = headers.find(lowerCaseName);
        return found == headers.end() ? std::string() : found->second;
    }
};

// Splits curl's "-i" output (status line, headers, blank line, body, then
// the marker line of curl's "-w").
HttpAnswer parseAnswer(const std::string& output) {
    HttpAnswer answer;
    std::istringstream in(output);
    std::string line;
    bool inBody = false;
    std::vector<std::string> body;
    while (std::getline(in, line) && line != "CURL-END") {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (inBody) {
            body.push_back(line);
        } else if (answer.status == 0) {
            const std::size_t blank = line.find(' ');
            if (blank != std::string::npos) answer.status = std::atoi(line.c_str() + blank + 1);
        } else if (line.empty()) {
            inBody = true;
        } else {
            const std::size_t colon = line.find(':');
            std::string name = line.substr(0, colon);
            for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            answer.headers[name] = colon == std::string::npos ? "" : line.substr(line.find_first_not_of(' ', colon + 1));
        }
    }
    if (!body.empty() && body.back().empty()) body.pop_back(); // the marker's own newline
    for (std::size_t i = 0; i < body.size(); ++i) answer.body += (i ? "\n" : "") + body[i];
    return answer;
}

class BridgeServer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bridge.startBridgeServer(&collector));
        port = bridgePort;
        ASSERT_NE(port, 0);
    }
    void TearDown() override { bridge.stopBridgeServer(); }

    std::string base() const { return "127.0.0.1:" + std::to_string(port); }

    HttpAnswer curl(std::vector<std::string> args, const std::string& target) {
        // The marker line tells when all of curl's output has been collected.
        args.insert(args.begin(), {"-s", "-S", "-i", "--max-time", "30", "-w", "\nCURL-END\n"});
        args.push_back("http://" + base() + target);
        PeerProcess process("curl", args);
        EXPECT_EQ(process.waitForExit(kPeerMs), 0) << process.output();
        std::string rest;
        EXPECT_TRUE(process.waitForLine("CURL-END", rest, kPeerMs)) << process.output();
        return parseAnswer(process.output());
    }

    // Runs the scripted page at the path with the steps; returns its output.
    std::unique_ptr<PeerProcess> page(const std::string& path, const std::vector<std::string>& steps) {
        std::vector<std::string> args{"-u", testSourcePath("foundation/peers/ws_peer.py"), "client",
                                      "ws://" + base() + path};
        args.insert(args.end(), steps.begin(), steps.end());
        return std::unique_ptr<PeerProcess>(new PeerProcess(debianPython(), args));
    }

    // A page whose handshake the bridge refuses: exits 1 after a 403.
    void expectRefused(const std::string& path) {
        std::unique_ptr<PeerProcess> refused = page(path, {"close", "1000"});
        EXPECT_EQ(refused->waitForExit(kPeerMs), 1) << refused->output();
        std::string failure;
        EXPECT_TRUE(refused->waitForLine("FAIL ", failure, kPeerMs)) << refused->output();
        EXPECT_NE(failure.find("HTTP 403"), std::string::npos) << failure;
    }

    // Closes an accepted page socket from our side, waits for the page to
    // finish and returns the arrival's client id.
    std::string closeArrival(SocketCollector::Arrival arrival, PeerProcess& peer) {
        EXPECT_TRUE(arrival.socket) << peer.output();
        if (arrival.socket) arrival.socket->close(false);
        EXPECT_EQ(peer.waitForExit(kPeerMs), 0) << peer.output();
        return arrival.clientId;
    }

    // With a page playing "expect text 5, send text 7, expect-close 1000":
    // one frame each way over the accepted socket, then our close.
    void exchangeFrames(QorWebSocket& socket, PeerProcess& peer) {
        const std::string hello = pattern(5);
        EXPECT_EQ(socket.sendText(hello.data(), static_cast<int>(hello.size())), 5);
        socket.setReceiveTimeout(kEventMs);
        char buffer[64];
        int n = 0;
        while ((n = socket.receiveFrame(buffer, sizeof buffer)) == 0) {
        }
        EXPECT_EQ(std::string(buffer, n > 0 ? n : 0), pattern(7));
        socket.close(false);
        EXPECT_EQ(peer.waitForExit(kPeerMs), 0) << peer.output();
    }

    LogCapture log{"debug"};
    SocketCollector collector;
    JsBridge bridge;
    int port = 0;
};

struct CurlCase {
    const char* name;
    std::vector<std::string> args;
    const char* target; // "{nonce}" stands for the current nonce
    int status;
    const char* body;
    bool closes;        // the answer ends the connection
};

} // namespace

TEST_F(BridgeServer, RefusedRequestsGetTheirStatusAndJsonBody) {
    renewBridgeNonce();
    const std::string methodBody = R"({"success": false, "error": "Method Not Allowed"})";
    const std::string badBody = R"({"success": false, "error": "Bad Request"})";
    const std::string forbiddenBody = R"({"success": false, "error": "Forbidden"})";
    const CurlCase cases[] = {
        {"PUT", {"-X", "PUT", "-d", "x"}, "/ws/f/id/{nonce}", 405, methodBody.c_str(), false},
        {"lower-case get", {"-X", "get"}, "/ws/f/id/{nonce}", 405, methodBody.c_str(), false},
        {"OPTIONS", {"-X", "OPTIONS"}, "/", 405, methodBody.c_str(), false},
        {"three segments", {}, "/ws/f/id", 400, badBody.c_str(), false},
        {"no ws segment", {"-d", "x"}, "/a/b/c/d/e", 400, badBody.c_str(), false},
        {"query does not count", {}, "/ws/f/id?n=/a/b", 400, badBody.c_str(), false},
        {"HEAD, header only", {"-I"}, "/ws/f/id", 400, "", false},
        {"wrong nonce", {}, "/ws/f/id/wrong", 403, forbiddenBody.c_str(), true},
        {"wrong nonce with a prefix", {"-d", "x"}, "/a/ws/f/id/wrong", 403, forbiddenBody.c_str(), true},
    };
    const std::string nonce = bridgeNonce();
    for (const CurlCase& c : cases) {
        SCOPED_TRACE(c.name);
        const HttpAnswer answer = curl(c.args, withNonce(c.target, nonce));
        EXPECT_EQ(answer.status, c.status);
        EXPECT_EQ(answer.header("content-type"), "application/json");
        EXPECT_EQ(answer.body, c.body);
        if (c.closes) {
            EXPECT_EQ(Poco::toLower(answer.header("connection")), "close");
        }
        // Refusals spend no nonce, change no prefix and hand on nothing.
        EXPECT_EQ(bridgeNonce(), nonce);
        EXPECT_EQ(serverPathPrefix(), "");
    }
    EXPECT_EQ(collector.count(), 0);
    EXPECT_TRUE(log.contains("Blocking HTTP PUT request from: '/ws/f/id/" + nonce + "', Status: 405"));
    EXPECT_TRUE(log.contains("Received invalid WS request (nonce outdated), URI = /a/ws/f/id/wrong/"));
}

TEST_F(BridgeServer, PlainGetWithTheRightNonceSpendsItAndGets400WithoutBody) {
    renewBridgeNonce();
    const std::string nonce = bridgeNonce();
    const HttpAnswer answer = curl({}, "/ws/f/id/" + nonce);
    EXPECT_EQ(answer.status, 400);
    EXPECT_EQ(answer.header("content-length"), "0");
    EXPECT_EQ(answer.body, "");
    EXPECT_NE(bridgeNonce(), nonce);
    EXPECT_EQ(collector.count(), 0);
}

TEST_F(BridgeServer, UnsupportedVersionIsAnsweredWithTheVersionWeSpeak) {
    renewBridgeNonce();
    const HttpAnswer answer = curl({"-H", "Connection: Upgrade", "-H", "Upgrade: websocket", "-H",
                                    "Sec-WebSocket-Version: 8", "-H", "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ=="},
                                   "/ws/f/id/" + bridgeNonce());
    EXPECT_EQ(answer.status, 400);
    EXPECT_EQ(answer.header("sec-websocket-version"), "13");
    EXPECT_EQ(collector.count(), 0);
}

// A refused request must not keep a server thread for the keep-alive time:
// the answer comes and the server ends the connection on its own.
TEST_F(BridgeServer, RefusedNonceClosesAKeepAliveConnection) {
    renewBridgeNonce();
    Poco::Net::StreamSocket socket(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port)));
    // Below the server's 15 s keep-alive time, far above an immediate close.
    socket.setReceiveTimeout(Poco::Timespan(12, 0));
    const std::string request = "GET /ws/f/id/stale HTTP/1.1\r\nHost: " + base() +
                                "\r\nConnection: keep-alive\r\nUpgrade: websocket\r\n\r\n";
    socket.sendBytes(request.data(), static_cast<int>(request.size()));
    std::string received;
    char buffer[1024];
    for (int n; (n = socket.receiveBytes(buffer, sizeof buffer)) > 0;) received.append(buffer, n);
    EXPECT_EQ(received.compare(0, 12, "HTTP/1.1 403"), 0) << received;
    EXPECT_NE(received.find(R"({"success": false, "error": "Forbidden"})"), std::string::npos) << received;
}

// Any local process can connect to the bridge. Connections that send
// nothing, never finish their request line, or idle after an answer hold a
// server thread only briefly: the page's upgrade still comes through within
// its retry window (PAGE_MAX_RETRY_SECONDS), and the bridge closes them.
TEST_F(BridgeServer, IdleConnectionsDoNotStarveThePage) {
    renewBridgeNonce();
    const std::string sends[] = {
        "",                                                    // nothing at all
        "GET /ws/free/idle",                                   // an unfinished request line
        "GET /ws/f/id HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\n\r\n", // answered, then idle
    };
    std::vector<std::unique_ptr<Poco::Net::StreamSocket>> idle;
    for (int i = 0; i < 100; ++i) {
        idle.emplace_back(new Poco::Net::StreamSocket(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port))));
        const std::string& text = sends[i % 3];
        if (!text.empty()) idle.back()->sendBytes(text.data(), static_cast<int>(text.size()));
    }
    std::unique_ptr<PeerProcess> peer = page("/ws/free/page/" + bridgeNonce(), {"expect-close", "1000"});
    SocketCollector::Arrival arrival = collector.next(20000);
    EXPECT_TRUE(arrival.socket) << peer->output();
    if (arrival.socket) {
        EXPECT_EQ(closeArrival(std::move(arrival), *peer), "page");
    }

    int closed = 0;
    for (auto& socket : idle) {
        socket->setReceiveTimeout(Poco::Timespan(30, 0));
        char buffer[1024];
        try {
            while (socket->receiveBytes(buffer, sizeof buffer) > 0) {
            }
            ++closed;
        } catch (const Poco::TimeoutException&) {
        } catch (const Poco::Exception&) {
            ++closed; // reset
        }
    }
    EXPECT_EQ(closed, 100);
}

// Connects to the bridge and sends the text one byte at a time, a byte each
// gapMs (well below the 5 s that any one read may wait), until the bridge
// ends the connection; once all is sent, waits up to 10 s for that end.
// Returns the milliseconds from the connection to its end, -1 if it stayed.
long trickle(int port, const std::string& text, int gapMs) {
    using Clock = std::chrono::steady_clock;
    Poco::Net::StreamSocket socket(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port)));
    const Clock::time_point start = Clock::now();
    const auto elapsed = [&] {
        return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    };
    char buffer[1024];
    for (char c : text) {
        try {
            socket.sendBytes(&c, 1);
            // The bridge's answer, if any, and its end of the connection.
            if (socket.poll(Poco::Timespan(0, gapMs * 1000), Poco::Net::Socket::SELECT_READ)) {
                while (socket.receiveBytes(buffer, sizeof buffer) > 0) {
                }
                return elapsed();
            }
        } catch (const Poco::Exception&) {
            return elapsed(); // reset, or written to a closed connection
        }
    }
    try {
        if (!socket.poll(Poco::Timespan(10, 0), Poco::Net::Socket::SELECT_READ)) return -1;
        while (socket.receiveBytes(buffer, sizeof buffer) > 0) {
        }
    } catch (const Poco::Exception&) {
    }
    return elapsed();
}

// The request head must arrive whole within 3 s of the server thread taking
// the connection, however its bytes trickle: a peer sending a byte every
// 250 ms is cut then, while a head that completes in time is served, and the
// page's upgraded socket, once handed on, is never cut.
TEST_F(BridgeServer, RequestHeadMustArriveWholeWithinItsTimeLimit) {
    renewBridgeNonce();
    std::unique_ptr<PeerProcess> peer =
        page("/ws/free/page/" + bridgeNonce(), {"expect", "text", "5", "send", "text", "7", "expect-close", "1000"});
    SocketCollector::Arrival arrival = collector.next(kEventMs);
    ASSERT_TRUE(arrival.socket) << peer->output();

    // 27 bytes at 50 ms are in before the limit: answered (403, a wrong
    // nonce) and closed by the bridge. 48 bytes at 250 ms would take 12 s.
    const long served = trickle(port, "GET /ws/f/id/x HTTP/1.0\r\n\r\n", 50);
    EXPECT_GE(served, 1300);
    EXPECT_LT(served, 2900);
    const long cut = trickle(port, "GET /ws/free/" + std::string(35, 'a'), 250);
    EXPECT_GE(cut, 2900);
    EXPECT_LT(cut, 10000);
    EXPECT_TRUE(log.contains("JsBridge: No complete request from 127.0.0.1:"));
    EXPECT_TRUE(log.contains(" within 3000 ms, closing the connection"));

    // The page's socket, more than 3 s after its upgrade, still carries frames.
    exchangeFrames(*arrival.socket, *peer);
}

// Another local user reaches the bridge's port but not the bridge: its
// connections are closed in the acceptor, at once and without an answer, so
// they take none of the server's threads or queue places, and the page's
// upgrade comes through meanwhile. Given threads, the 320 connections that
// trickle their heads would hold all 64 threads and fill the queue of 256,
// and the page would wait behind them.
TEST_F(BridgeServer, AnotherUsersConnectionsAreClosedAtAccept) {
    renewBridgeNonce();
    PeerProcess stranger("/usr/bin/setpriv",
                         {"--reuid=65534", "--regid=65534", "--clear-groups", debianPython(), "-u",
                          testSourcePath("nativeclient/bridge_stranger.py"), std::to_string(port), "320"});
    std::string report;
    ASSERT_TRUE(stranger.waitForLine("CONNECTED ", report, kPeerMs)) << stranger.output();

    const auto pageStart = std::chrono::steady_clock::now();
    std::unique_ptr<PeerProcess> peer = page("/ws/free/page/" + bridgeNonce(), {"expect-close", "1000"});
    SocketCollector::Arrival arrival = collector.next(kEventMs);
    const auto pageMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - pageStart).count();
    ASSERT_TRUE(arrival.socket) << peer->output();
    EXPECT_EQ(closeArrival(std::move(arrival), *peer), "page");
    // A Python start and a handshake; well within the page's retry window.
    EXPECT_LT(pageMs, 5000);

    ASSERT_TRUE(stranger.waitForLine("REPORT ", report, kPeerMs)) << stranger.output();
    int closed = -1, answered = -1;
    ASSERT_EQ(std::sscanf(report.c_str(), "closed=%d slowest=%*d answered=%d", &closed, &answered), 2)
        << report;
    // All ended without an answer within the stranger's 8 s watch: given
    // threads, at most three rounds of 64 could have been cut by the head's
    // time limit (3 s) by then, each with a 400 answer. (How long each one
    // waited for the acceptor depends on the machine's load.)
    EXPECT_EQ(closed, 320) << report;
    EXPECT_EQ(answered, 0) << report;
    EXPECT_EQ(stranger.waitForExit(kPeerMs), 0) << stranger.output();
    // One line for the first refusal; the others are summed up when the
    // bridge stops, not logged one by one.
    EXPECT_EQ(log.count(" of user 65534: only the client's own user may connect"), 1);
    EXPECT_EQ(log.count("JsBridge: Refused"), 1);
    EXPECT_FALSE(log.contains("No complete request from"));
    EXPECT_EQ(collector.count(), 1);
    bridge.stopBridgeServer();
    EXPECT_EQ(log.count("JsBridge: Refused 319 more connections of user 65534 in the last "), 1);
    EXPECT_EQ(log.count("JsBridge: Refused"), 2);
}

// The acceptor's check of a connection: its peer's socket must still be
// open, be the client's own user's, and its owner must be found. The check
// runs in a thread of its own, which may be denied the kernel's socket
// diagnostics (as in a sandbox without netlink, or out of descriptors).
TEST(BridgePeerFilterCheck, OnlyALivePeerOfTheOwnUserPasses) {
    struct Case {
        const char* name;
        bool peerClosesFirst;
        bool lookupFails;
        bool accepted;
        const char* logged; // also logged, if anything
    };
    const Case cases[] = {
        {"live peer of the own user", false, false, true, nullptr},
        {"peer gone before the accept", true, false, false, nullptr},
        {"owner cannot be looked up", false, true, false, ": its user cannot be told, "},
    };
    LogCapture log{"debug"};
    Poco::Net::ServerSocket listener(Poco::Net::SocketAddress("127.0.0.1", 0));
    BridgePeerFilter filter;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        Poco::Net::StreamSocket peer(listener.address());
        if (c.peerClosesFirst) peer.close();
        Poco::Net::StreamSocket accepted = listener.acceptConnection();
        bool passed = false;
        std::string denied;
        std::thread([&] {
            if (c.lookupFails && !denySocketDiagnostics(denied)) return;
            passed = filter.accept(accepted);
        }).join();
        ASSERT_TRUE(denied.empty()) << denied;
        EXPECT_EQ(passed, c.accepted);
        EXPECT_EQ(log.contains("JsBridge: Refused a connection from 127.0.0.1:"), !c.accepted);
        if (c.logged != nullptr) {
            EXPECT_TRUE(log.contains(c.logged)) << c.logged;
        }
    }
}

// Another user's connections, refused as fast as they come, write a line
// for the first one and then one summary per period (here a second, at the
// next connection after it), whatever their number.
TEST(BridgePeerFilterCheck, RefusalsOfAUserAreSummedUpNotLoggedOneByOne) {
    LogCapture log{"information"};
    Poco::Net::ServerSocket listener(Poco::Net::SocketAddress("127.0.0.1", 0));
    PeerProcess stranger("/usr/bin/setpriv",
                         {"--reuid=65534", "--regid=65534", "--clear-groups", debianPython(),
                          testSourcePath("peer/peer_socket.py"), "connect", "127.0.0.1",
                          std::to_string(listener.address().port()), "5"},
                         true);
    std::string ports;
    ASSERT_TRUE(stranger.waitForLine("connected ", ports, kPeerMs)) << stranger.output();
    std::vector<Poco::Net::StreamSocket> strangers;
    for (int i = 0; i < 5; ++i) strangers.push_back(listener.acceptConnection());

    const auto period = std::chrono::seconds(1);
    BridgePeerFilter filter(period);
    const std::string first = " of user 65534: only the client's own user may connect";
    const std::string summary = "JsBridge: Refused 3 more connections of user 65534 in the last ";
    const auto runStart = std::chrono::steady_clock::now();
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(filter.accept(strangers[static_cast<std::size_t>(i)]));
    const auto runEnd = std::chrono::steady_clock::now();
    ASSERT_LT(runEnd - runStart, period) << "four refusals must fall into one period for this test";
    EXPECT_EQ(log.count(first), 1);
    EXPECT_EQ(log.count("JsBridge: Refused"), 1);

    // The period is over: the next connection, the own user's, brings the
    // summary; a refusal after it begins a new run.
    std::this_thread::sleep_until(runEnd + period + std::chrono::milliseconds(50));
    Poco::Net::StreamSocket own(listener.address());
    Poco::Net::StreamSocket ownAccepted = listener.acceptConnection();
    EXPECT_TRUE(filter.accept(ownAccepted));
    EXPECT_EQ(log.count(summary), 1);
    EXPECT_FALSE(filter.accept(strangers[4]));
    EXPECT_EQ(log.count(first), 2);
    // Nothing more to sum up at the stop: the new run has only its first.
    filter.reportRefusals();
    EXPECT_EQ(log.count("JsBridge: Refused"), 3);
}

// A request target that is no absolute path is taken from the root, as a
// browser resolves one: its ".." segments do not reach the stored prefix.
TEST_F(BridgeServer, RelativeTargetCannotClimbAboveTheRoot) {
    setServerPathPrefix("");
    renewBridgeNonce();
    Poco::Net::StreamSocket socket(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port)));
    socket.setReceiveTimeout(Poco::Timespan(30, 0));
    const std::string request = "GET ..\\..\\a\\ws\\free\\cid\\" + bridgeNonce() + " HTTP/1.1\r\nHost: " + base() +
                                "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    socket.sendBytes(request.data(), static_cast<int>(request.size()));
    std::string received;
    char buffer[1024];
    for (int n; received.find("\r\n\r\n") == std::string::npos && (n = socket.receiveBytes(buffer, sizeof buffer)) > 0;)
        received.append(buffer, n);
    EXPECT_EQ(received.compare(0, 12, "HTTP/1.1 101"), 0) << received;
    SocketCollector::Arrival arrival = collector.next(kEventMs);
    ASSERT_TRUE(arrival.socket);
    EXPECT_EQ(arrival.clientId, "cid");
    EXPECT_EQ(serverPathPrefix(), "/a");
}

TEST_F(BridgeServer, AcceptedSocketReachesTheEventThreadAndCarriesFrames) {
    renewBridgeNonce();
    const std::string nonce = bridgeNonce();
    std::unique_ptr<PeerProcess> peer =
        page("/ws/free/client-7/" + nonce, {"expect", "text", "5", "send", "text", "7", "expect-close", "1000"});
    SocketCollector::Arrival arrival = collector.next(kEventMs);
    ASSERT_TRUE(arrival.socket) << peer->output();
    EXPECT_EQ(arrival.clientId, "client-7");
    EXPECT_EQ(arrival.socket->label(), "");
    EXPECT_EQ(arrival.socket->peerHost(), "127.0.0.1");

    exchangeFrames(*arrival.socket, *peer);

    EXPECT_NE(bridgeNonce(), nonce);
    EXPECT_EQ(bridgeNonce().size(), 43u);
    EXPECT_EQ(serverPathPrefix(), "");
    EXPECT_TRUE(log.contains("JsBridge: Started js-bridge server on local port " + std::to_string(port)));
    EXPECT_TRUE(log.contains("Got URI /ws/free/client-7/" + nonce + ", client id client-7"));
    EXPECT_TRUE(log.contains("WebSocketRequestHandler: Connected WebSocket to 127.0.0.1:"));
    bridge.stopBridgeServer();
    EXPECT_TRUE(log.contains("JsBridge: Shutting down"));
}

TEST_F(BridgeServer, ReplayedNonceIsRefusedAndChangesNothing) {
    renewBridgeNonce();
    const std::string nonce = bridgeNonce();
    std::unique_ptr<PeerProcess> first = page("/ws/free/first/" + nonce, {"expect-close", "1000"});
    closeArrival(collector.next(kEventMs), *first);
    const std::string renewed = bridgeNonce();

    expectRefused("/a/ws/free/second/" + nonce);
    EXPECT_EQ(bridgeNonce(), renewed);
    EXPECT_EQ(serverPathPrefix(), "");
    EXPECT_EQ(collector.count(), 1);
    EXPECT_TRUE(log.contains("Received invalid WS request (nonce outdated), URI = /a/ws/free/second/" + nonce + "/"));
}

TEST_F(BridgeServer, NonceBeforeTheFirstRenewalIsRefused) {
    if (!bridgeNonce().empty()) GTEST_SKIP() << "needs a process without an earlier renewal";
    expectRefused("/a/ws/free/id/" + randomUrlToken());
    EXPECT_EQ(bridgeNonce(), "");
    EXPECT_EQ(serverPathPrefix(), "");
    EXPECT_EQ(collector.count(), 0);
}

// The client id and the prefix segments go into the request lines of the
// server connections as they are: the bridge refuses those that could end a
// line or change the path, and spends no nonce and stores no prefix on them.
TEST_F(BridgeServer, UnsafeClientIdOrPrefixIsRefused) {
    setServerPathPrefix("keep/");
    renewBridgeNonce();
    const std::string nonce = bridgeNonce();
    const std::string paths[] = {
        "/ws/free/id%0D%0AX-Injected:%201/{nonce}",
        "/ws/free/id%0A/{nonce}",
        "/ws/free/id%00/{nonce}",
        "/ws/free/a%20b/{nonce}",
        "/ws/free/a%3Fb/{nonce}",
        "/ws/free/a%23b/{nonce}",
        "/ws/free/a%25b/{nonce}",
        "/ws/free/" + std::string(300, 'x') + "/{nonce}",
        "/a%0D%0Ab/ws/free/id/{nonce}",
        "/a/b%3Fc/ws/free/id/{nonce}",
    };
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        expectRefused(withNonce(path, nonce));
    }
    EXPECT_EQ(bridgeNonce(), nonce);
    EXPECT_EQ(serverPathPrefix(), "/keep");
    EXPECT_EQ(collector.count(), 0);
    EXPECT_TRUE(log.contains("Received invalid WS request (unsafe client id or path prefix), URI = "
                             "/ws/free/id%0D%0AX-Injected:%201/" + nonce));
}

struct PrefixCase {
    const char* name;
    const char* path;       // "{nonce}" stands for the current nonce
    const char* prefixBefore; // joined segments stored before the request
    const char* clientId;
    const char* prefixAfter;
};

TEST_F(BridgeServer, AcceptedPathsSetThePrefix) {
    const PrefixCase cases[] = {
        {"no prefix keeps the earlier one", "/ws/free/id0/{nonce}", "old/", "id0", "/old"},
        {"one segment", "/a/ws/free/id1/{nonce}", "", "id1", "/a"},
        {"two segments", "/a/b/ws/free/id2/{nonce}", "", "id2", "/a/b"},
        {"two ws segments", "/ws/p/ws/free/id3/{nonce}", "", "id3", "/ws/p"},
        {"query string", "/a/ws/free/id4/{nonce}?next=/b/ws/x/y/z", "", "id4", "/a"},
        {"segments after the nonce", "/x/ws/free/id5/{nonce}/extra", "", "id5", "/x"},
        {"ws first of five clears", "/ws/free/id6/{nonce}/extra", "old/", "id6", ""},
    };
    for (const PrefixCase& c : cases) {
        SCOPED_TRACE(c.name);
        setServerPathPrefix(c.prefixBefore);
        renewBridgeNonce();
        std::unique_ptr<PeerProcess> peer = page(withNonce(c.path, bridgeNonce()), {"expect-close", "1000"});
        EXPECT_EQ(closeArrival(collector.next(kEventMs), *peer), c.clientId);
        EXPECT_EQ(serverPathPrefix(), c.prefixAfter);
    }
}

TEST_F(BridgeServer, WrongNonceKeepsThePrefix) {
    setServerPathPrefix("keep/");
    renewBridgeNonce();
    const std::string nonce = bridgeNonce();
    expectRefused("/a/b/ws/free/id/" + randomUrlToken());
    EXPECT_EQ(serverPathPrefix(), "/keep");
    EXPECT_EQ(bridgeNonce(), nonce);
    EXPECT_EQ(collector.count(), 0);
}
