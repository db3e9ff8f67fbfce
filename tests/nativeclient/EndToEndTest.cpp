// The whole connection against the demo server: the test plays the page,
// relaying between the server's page socket and the client's bridge socket,
// while NativeClient opens its own ticketed sockets to the server.
#include "CanvasRegistry.h"
#include "ConnectionFixture.h"
#include "DemoFixture.h"
#include "FakeCanvas.h"
#include "PageRelay.h"
#include "JsBridge.h"
#include "NativeClient.h"
#include "NativeClientWebSocketEvent.h"
#include "QorCanvasListEntry.h"
#include "QorWebSocket.h"
#include "JsBridge.h"
#include "ServerCertificateTrust.h"
#include "ServerConnectionValues.h"
#include "StreamDecoder.h"

#include <atomic>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

using namespace qor;

namespace {

void deleteSocket(QorWebSocket* socket) { delete socket; }

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
