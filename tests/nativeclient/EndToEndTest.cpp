// The whole connection against the demo server: the test plays the page,
// relaying between the server's page socket and the client's bridge socket,
// while NativeClient opens its own ticketed sockets to the server.
#include "CanvasRegistry.h"
#include "ConnectionFixture.h"
#include "DemoFixture.h"
#include "FakeCanvas.h"
#include "JsBridge.h"
#include "NativeClient.h"
#include "NativeClientWebSocketEvent.h"
#include "QorCanvasListEntry.h"
#include "QorWebSocket.h"
#include "JsBridge.h"
#include "ServerCertificateTrust.h"
#include "ServerConnectionValues.h"
#include "StreamDecoder.h"

#include <Poco/JSON/Parser.h>
#include <Poco/JSON/Stringifier.h>

#include <atomic>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

using namespace qor;

namespace {

void deleteSocket(QorWebSocket* socket) { delete socket; }

std::string stringify(const Poco::Dynamic::Var& value) {
    std::ostringstream out;
    Poco::JSON::Stringifier::condense(value, out);
    return out.str();
}

// Carries messages between the server's page socket and the bridge in both
// directions, as the desk page's script does, and keeps what the server
// reported to the page.
class PageRelay {
public:
    PageRelay(Poco::Net::WebSocket& pageSocket, Poco::Net::WebSocket& bridge) : page_(pageSocket), bridge_(bridge) {
        toClient_ = std::thread([this] { relayToClient(); });
        toServer_ = std::thread([this] { relayToServer(); });
    }
    ~PageRelay() { stop(); }

    void stop() {
        stopping_.store(true);
        if (toClient_.joinable()) toClient_.join();
        if (toServer_.joinable()) toServer_.join();
    }
    void sendToServer(const std::string& text) {
        std::lock_guard<std::mutex> lock(sendMutex_);
        sendTextFrame(page_, text);
    }
    // Messages of the kind the server sent to the page.
    int count(const std::string& kind, const std::string& fragment = "") const {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = 0;
        for (const auto& m : fromServer_)
            if (m.find("\"kind\":\"" + kind + "\"") != std::string::npos && m.find(fragment) != std::string::npos) ++n;
        return n;
    }
    int clientMessages(const std::string& fragment) const {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = 0;
        for (const auto& m : fromClient_)
            if (m.find(fragment) != std::string::npos) ++n;
        return n;
    }
    bool bridgeClosed() const { return bridgeClosed_.load(); }

private:
    void relayToClient() {
        while (!stopping_.load()) {
            const std::string text = readTextFrame(page_, 200);
            if (text.empty()) continue;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                fromServer_.push_back(text);
            }
            Poco::JSON::Object::Ptr message =
                Poco::JSON::Parser().parse(text).extract<Poco::JSON::Object::Ptr>();
            if (message->getValue<std::string>("kind") == "relay" && !bridgeClosed_.load())
                sendTextFrame(bridge_, stringify(message->get("message")));
        }
    }
    void relayToServer() {
        bridge_.setReceiveTimeout(Poco::Timespan(0, 200000));
        std::vector<char> buffer(1 << 20);
        while (!stopping_.load() && !bridgeClosed_.load()) {
            int flags = 0;
            int n = 0;
            try {
                n = bridge_.receiveFrame(buffer.data(), static_cast<int>(buffer.size()), flags);
            } catch (const Poco::TimeoutException&) {
                continue;
            } catch (const Poco::Exception&) {
                bridgeClosed_.store(true);
                break;
            }
            const int opcode = flags & Poco::Net::WebSocket::FRAME_OP_BITMASK;
            if ((n == 0 && flags == 0) || opcode == Poco::Net::WebSocket::FRAME_OP_CLOSE) {
                bridgeClosed_.store(true);
                break;
            }
            if (opcode != Poco::Net::WebSocket::FRAME_OP_TEXT) continue;
            const std::string text(buffer.data(), static_cast<std::size_t>(n));
            {
                std::lock_guard<std::mutex> lock(mutex_);
                fromClient_.push_back(text);
            }
            sendToServer("{\"kind\":\"client\",\"message\":" + text + "}");
        }
    }

    Poco::Net::WebSocket& page_;
    Poco::Net::WebSocket& bridge_;
    std::thread toClient_;
    std::thread toServer_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> bridgeClosed_{false};
    mutable std::mutex mutex_;
    std::mutex sendMutex_;
    std::vector<std::string> fromServer_;
    std::vector<std::string> fromClient_;
};

struct Route {
    bool secure;
    bool throughBridge;  // the page's socket comes through the real js-bridge
    const char* name;
};

class EndToEnd : public DemoFixture, public ::testing::WithParamInterface<Route> {
protected:
    void SetUp() override {
        static const bool registered = StreamDecoder::registerDecoders();
        ASSERT_TRUE(registered);
    }
    void TearDown() override {
        stopNativeClient();
        ScopedOwnerLock guard(canvasRegistryLock);
        for (auto& entry : canvasRegistry) delete entry.second;
        canvasRegistry.clear();
    }

    LogCapture log{"debug"};
    WebSocketAcceptor acceptor;
};

} // namespace

TEST_P(EndToEnd, ScreenStreamsUntilTheServerEndsIt) {
    const bool secure = GetParam().secure;
    const bool throughBridge = GetParam().throughBridge;
    std::unique_ptr<DemoServerProcess> server = startServer(ServerSetup(secure, "/a/b"));
    DemoPeer peer(*server, "/a/b");
    std::unique_ptr<Poco::Net::WebSocket> pageSocket;
    const std::string clientId = openDesk(peer, pageSocket);
    ASSERT_FALSE(clientId.empty());

    serverIsSecure.store(secure);
    // The demo server's self-signed certificate, as the user accepted it in
    // the page's certificate dialog.
    ServerCertificateTrust::forgetAll();
    if (secure) ServerCertificateTrust::pinCertificate("127.0.0.1", certificateDer(serverCertificate_.certificate));
    serverPort.store(server->port());
    setSessionCookieValue(peer.sessionId());
    setServerPathPrefix(throughBridge ? "" : "a/b/");
    NativeClient::instance()->setCsrfToken(peer.csrfToken());
    setCurrentServerUrl("127.0.0.1");
    FakeCanvas canvas(CANVAS_ID_UNASSIGNED);
    ASSERT_TRUE(addCanvas(&canvas));
    NativeClient::instance()->start(-1);

    // The page's bridge socket: through the js-bridge, whose path also
    // tells the server's path prefix, or handed to NativeClient directly.
    JsBridge bridge;
    std::unique_ptr<Poco::Net::WebSocket> bridgePage;
    if (throughBridge) {
        ASSERT_TRUE(bridge.startBridgeServer(NativeClient::instance()));
        renewBridgeNonce();
        bridgePage.reset(connectPocoWebSocket("127.0.0.1", bridgePort.load(),
                                              "/a/b/ws/free/" + clientId + "/" + bridgeNonce()));
    } else {
        bridgePage.reset(connectPocoWebSocket("127.0.0.1", acceptor.port()));
        QorWebSocket* bridgeClient = new QorWebSocket(acceptor.waitForSocket(20000), "bridge");
        NativeClient::instance()->postEvent(new NativeClientWebSocketEvent(
            NativeClientWebSocketEvent::Socket(bridgeClient, &deleteSocket), clientId));
    }
    PageRelay relay(*pageSocket, *bridgePage);

    // The server's identity gets the client's features; the screen starts
    // and the server's statistics requests are answered.
    EXPECT_TRUE(eventually([&] { return relay.clientMessages("\"type\":960") == 1; }, 30000));
    EXPECT_TRUE(eventually([&] { return relay.count("stats") >= 2; }, 30000)) << server->log();
    EXPECT_TRUE(log.contains("Session 0: Connected video socket"));
    EXPECT_EQ(canvas.canvasId(), 0);
    EXPECT_TRUE(eventually([&] { return canvas.frames.load() >= 10; }, 30000)) << canvas.frames.load();

    // The server ends the screen; with one screen the connection ends.
    relay.sendToServer(R"({"kind":"end-screen","screen":0})");
    EXPECT_TRUE(log.waitFor("Session 0: Logging out", 30000));
    EXPECT_TRUE(eventually([&] { return relay.bridgeClosed(); }, 30000));
    relay.stop();
    stopNativeClient();
    if (throughBridge) bridge.stopBridgeServer();
    EXPECT_EQ(canvas.canvasId(), CANVAS_ID_UNASSIGNED);
}

INSTANTIATE_TEST_SUITE_P(Routes, EndToEnd,
                         ::testing::Values(Route{false, false, "http"}, Route{true, false, "https"},
                                           Route{false, true, "httpThroughJsBridge"}),
                         [](const ::testing::TestParamInfo<Route>& info) { return info.param.name; });
