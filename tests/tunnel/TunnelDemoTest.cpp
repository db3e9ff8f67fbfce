// Both tunnel sides through the real js-bridge and server connection
// against the demo server's end of the tunnel, with local servers and
// clients on loopback.
#include "CanvasRegistry.h"
#include "ClientSettings.h"
#include "ConnectionFixture.h"
#include "DemoFixture.h"
#include "FakeCanvas.h"
#include "JsBridge.h"
#include "LogCapture.h"
#include "NativeClient.h"
#include "PageRelay.h"
#include "QorCanvasListEntry.h"
#include "QorTunnelClientInterface.h"
#include "SanitizerBuild.h"
#include "ServerConnectionFactory.h"
#include "ServerConnectionValues.h"
#include "StreamDecoder.h"
#include "TunnelTestSupport.h"

#include <gtest/gtest.h>

#include <Poco/Net/SocketAddress.h>

#include <chrono>
#include <future>
#include <iostream>
#include <regex>

using namespace qor;

namespace {

// Under the sanitizers every byte costs many times more: the transfer
// shrinks to 64 MiB there, and stays byte-exact.
#if defined(QDK_ADDRESS_SANITIZER) || defined(QDK_THREAD_SANITIZER)
constexpr std::uint64_t BIG_TRANSFER = 64ull << 20;
#else
constexpr std::uint64_t BIG_TRANSFER = 1ull << 30;
#endif

// The demo server, a desk for the client, NativeClient with the js-bridge,
// and the page played by a relay between the two.
class TunnelDemo : public DemoFixture {
protected:
    void start(std::vector<std::string> serverArguments) {
        // The server streams its screen as well: the client decodes it.
        static const bool registered = StreamDecoder::registerDecoders();
        ASSERT_TRUE(registered);
        server = startServer(ServerSetup(false, "/a/b", 1, std::move(serverArguments)));
        peer.reset(new DemoPeer(*server, "/a/b"));
        clientId = openDesk(*peer, pageSocket);
        ASSERT_FALSE(clientId.empty());
        serverIsSecure.store(false);
        serverPort.store(server->port());
        setSessionCookieValue(peer->sessionId());
        NativeClient::instance()->setCsrfToken(peer->csrfToken());
        setCurrentServerUrl("127.0.0.1");
        ASSERT_TRUE(addCanvas(&canvas));
        NativeClient::instance()->start(-1);
        ASSERT_TRUE(bridge.startBridgeServer(NativeClient::instance()));
        renewBridgeNonce();
        bridgePage.reset(
            connectPocoWebSocket("127.0.0.1", bridgePort.load(), "/a/b/ws/free/" + clientId + "/" + bridgeNonce()));
        relay.reset(new PageRelay(*pageSocket, *bridgePage));
        ASSERT_TRUE(eventually([&] { return relay->clientMessages("\"type\":960") == 1; }, 30000));
    }
    void TearDown() override {
        if (relay) relay->stop();
        stopNativeClient();
        bridge.stopBridgeServer();
        ScopedOwnerLock guard(canvasRegistryLock);
        for (auto& entry : canvasRegistry) delete entry.second;
        canvasRegistry.clear();
    }
    // The page asks the server, which relays TUN_CTRL to the client.
    void askForTunnel(const std::string& name, int command) {
        relay->sendToServer(R"({"kind":"tunnel","name":")" + name + R"(","command":)" + std::to_string(command) + "}");
    }
    // The port on which the demo server's end of the tunnel listens.
    int tunnelListenPort(const std::string& name) {
        const std::regex line("Tunnel " + name + R"( \(type 0\) of desk \S+: connected, connections to 127\.0\.0\.1:(\d+))");
        int port = 0;
        eventually([&] {
            std::smatch match;
            const std::string log = server->log();
            if (!std::regex_search(log, match, line)) return false;
            port = std::stoi(match[1]);
            return true;
        });
        return port;
    }

    LogCapture log{"debug"};
    std::unique_ptr<DemoServerProcess> server;
    std::unique_ptr<DemoPeer> peer;
    std::unique_ptr<Poco::Net::WebSocket> pageSocket;
    std::string clientId;
    FakeCanvas canvas{CANVAS_ID_UNASSIGNED};
    JsBridge bridge;
    std::unique_ptr<Poco::Net::WebSocket> bridgePage;
    std::unique_ptr<PageRelay> relay;
};

// Sends size bytes of one stream and checks size bytes of another on the
// socket, each way on a thread of its own; the error, or "".
std::string exchange(Poco::Net::StreamSocket socket, std::uint64_t size, const StreamPattern& out,
                     const StreamPattern& in) {
    std::string writeError;
    std::thread writer([&] {
        std::vector<char> buffer(1 << 20);
        try {
            for (std::uint64_t done = 0; done < size;) {
                const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - done));
                out.fill(done, buffer.data(), n);
                socket.sendBytes(buffer.data(), static_cast<int>(n));
                done += n;
            }
        } catch (const Poco::Exception& e) {
            writeError = "write: " + e.displayText();
        }
    });
    std::string readError;
    std::vector<char> buffer(1 << 20);
    std::uint64_t done = 0;
    try {
        while (done < size) {
            const int n = socket.receiveBytes(buffer.data(), static_cast<int>(buffer.size()));
            if (n <= 0) {
                readError = "ended after " + std::to_string(done) + " bytes";
                break;
            }
            if (!in.matches(done, buffer.data(), static_cast<std::size_t>(n))) {
                readError = "bytes differ near offset " + std::to_string(done);
                break;
            }
            done += static_cast<std::uint64_t>(n);
        }
    } catch (const Poco::Exception& e) {
        readError = "read: " + e.displayText();
    }
    if (!readError.empty()) shutDownSocket(socket);
    writer.join();
    return readError.empty() ? writeError : readError;
}

} // namespace

TEST_F(TunnelDemo, PageSetsUpAndRemovesTheServerSide) {
    LocalServer local(LocalServer::Mode::ECHO);
    clientVirtualHereServerPort.set(local.port());
    start({"--tunnel-port=0"});
    askForTunnel("web", 0);
    const int port = tunnelListenPort("web");
    ASSERT_NE(port, 0) << server->log();
    // The server may take the WebSocket before the client has built its end.
    EXPECT_TRUE(log.waitFor("Tunnel 'web' is setup at ports " + std::to_string(local.port()) + "/17574", 20000));
    // Several connections at once, each echoed by the local server.
    std::vector<std::future<std::string>> results;
    for (int i = 0; i < 8; ++i)
        results.push_back(std::async(std::launch::async, [port, i] {
            return echoThrough(port, randomBytes(static_cast<std::size_t>(100000 * (i + 1)), 50 + static_cast<std::uint64_t>(i)));
        }));
    for (auto& result : results) EXPECT_EQ(result.get(), "");
    EXPECT_TRUE(local.waitFinished(8, 20000));

    askForTunnel("web", 1);
    EXPECT_TRUE(log.waitFor("Disconnecting tunnel to server", 20000));
    EXPECT_TRUE(log.waitFor("web: Peer socket is shutdown", 20000));
    EXPECT_TRUE(eventually([&] { return server->log().find("Tunnel web (type 0) of desk " + clientId + ": closed") !=
                                        std::string::npos; }))
        << server->log();
    // The page learnt of both.
    EXPECT_TRUE(eventually([&] { return relay->count("status", "Tunnel web closed") == 1; })) << server->log();
    clientVirtualHereServerPort.set(17570);
}

// A user's web server forwarded through the demo server and the client,
// fetched with curl, as the demo server's README shows it.
TEST_F(TunnelDemo, CurlFetchesALocalWebServerThroughTheTunnel) {
    writeTextFile(dir_.file("index.html"), "hello through the tunnel\n");
    const int webPort = freeLoopbackPort();
    PeerProcess web(debianPython(), {"-m", "http.server", std::to_string(webPort), "--bind", "127.0.0.1",
                                     "--directory", dir_.path()});
    ASSERT_TRUE(eventually([&] {
        try {
            Poco::Net::StreamSocket probe(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(webPort)));
            return true;
        } catch (const Poco::Exception&) {
            return false;
        }
    }));
    clientVirtualHereServerPort.set(webPort);
    start({"--tunnel-port=0"});
    askForTunnel("web", 0);
    const int port = tunnelListenPort("web");
    ASSERT_NE(port, 0) << server->log();
    for (int i = 0; i < 3; ++i) {
        std::string page;
        EXPECT_EQ(runProgram("/usr/bin/curl", {"-sS", "--max-time", "20", "http://127.0.0.1:" + std::to_string(port) +
                                                                               "/index.html"},
                             &page),
                  0);
        EXPECT_EQ(page, "hello through the tunnel\n");
    }
    clientVirtualHereServerPort.set(17570);
}

// 1 GiB each way through one connection, byte-exact.
TEST_F(TunnelDemo, BigTransferEachWayThroughOneConnection) {
    Poco::Net::ServerSocket localServer(Poco::Net::SocketAddress("127.0.0.1", 0));
    clientVirtualHereServerPort.set(localServer.address().port());
    start({"--tunnel-port=0"});
    askForTunnel("big", 0);
    const int port = tunnelListenPort("big");
    ASSERT_NE(port, 0) << server->log();
    const StreamPattern up(1);
    const StreamPattern down(2);
    std::string serverError = "no connection";
    std::thread serving([&] {
        Poco::Net::StreamSocket accepted = localServer.acceptConnection();
        serverError = exchange(accepted, BIG_TRANSFER, down, up);
    });
    const auto begin = std::chrono::steady_clock::now();
    Poco::Net::StreamSocket client(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port)));
    const std::string clientError = exchange(client, BIG_TRANSFER, up, down);
    serving.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    EXPECT_EQ(clientError, "");
    EXPECT_EQ(serverError, "");
    if (!clientError.empty() || !serverError.empty()) {
        for (const auto& line : log.texts())
            if (line.find("big") != std::string::npos) std::cout << line << "\n";
        std::cout << server->log();
    }
    std::cout << (BIG_TRANSFER >> 20) << " MiB each way in " << seconds << " s\n";
    clientVirtualHereServerPort.set(17570);
}

// The client side: our listener's connections reach the demo server, which
// connects each one to a port of its own.
TEST_F(TunnelDemo, ClientSideThroughTheServerConnection) {
    LocalServer target(LocalServer::Mode::ECHO);
    start({"--tunnel-target=" + std::to_string(target.port())});
    const int listenPort = freeLoopbackPort();
    ServerConnectionFactory factory("127.0.0.1");
    QorWebSocket* socket = factory.connectTunnelSocket(clientId, 1, "back", 17570, listenPort);
    ASSERT_NE(socket, nullptr);
    EXPECT_TRUE(log.contains("Tunnel connection request to server"));
    QorTunnelClientInterface tunnel(clientId, "back", listenPort, socket);
    EXPECT_EQ(echoThrough(listenPort, randomBytes(3u << 20, 77)), "");
    EXPECT_EQ(echoThrough(listenPort, "x"), "");
    EXPECT_TRUE(target.waitFinished(2, 20000));
    EXPECT_TRUE(eventually([&] {
        return server->log().find("Tunnel back (type 1) of desk " + clientId + ": connected") != std::string::npos;
    }));
}
