#include "ConnectionFixture.h"
#include "Logging.h"
#include "NativeClient.h"
#include "NativeClientServerProxy.h"
#include "NativeClientServerSessionFinishedEvent.h"
#include "NativeClientVHSupport.h"
#include "NativeClientVHThread.h"
#include "NativeClientWebSocketEvent.h"
#include "QorMessage.h"
#include "QorWebSocket.h"
#include "ServerConnectionValues.h"
#include "StreamDecoderRegistration.h"
#include "ThreadRegistry.h"
#include "VHSupport.h"

using namespace qor;

namespace {

const char* const CLIENT_ID_4_3 =
    R"({"type":100,"NetProtVer":"4.3","SvrVer":"14.0.0","ClntID":"client-1","Paused":false})";

void deleteSocket(QorWebSocket* socket) { delete socket; }

class Client : public ConnectionTest {
protected:
    void SetUp() override {
        useServer(false);
        NativeClient::instance()->start(-1);
    }
    void TearDown() override {
        stopNativeClient();
        ConnectionTest::TearDown();
    }

    // Hands a new bridge connection to NativeClient as the js-bridge does.
    BridgePair connectPage(const std::string& clientId = "client-1") {
        BridgePair bridge = openBridge();
        NativeClient::instance()->postEvent(new NativeClientWebSocketEvent(
            NativeClientWebSocketEvent::Socket(bridge.client, &deleteSocket), clientId));
        return bridge;
    }

    std::unique_ptr<Poco::Net::WebSocket> acceptControl() {
        AcceptedSocket accepted = server->waitForSocket(20000);
        return std::move(accepted.socket);
    }
};

bool closedByPeer(Poco::Net::WebSocket& socket) { return readTextFrame(socket, 20000).empty(); }

} // namespace

TEST_F(Client, NewBridgeConnectionReplacesTheProxy) {
    BridgePair first = connectPage();
    std::unique_ptr<Poco::Net::WebSocket> firstControl = acceptControl();
    ASSERT_NE(firstControl, nullptr);
    ASSERT_TRUE(log.waitFor("NativeClient: New js-bridge connection connected, starting ServerProxy", 20000));

    BridgePair second = connectPage();
    std::unique_ptr<Poco::Net::WebSocket> secondControl = acceptControl();
    ASSERT_NE(secondControl, nullptr);
    EXPECT_TRUE(closedByPeer(*first.page));
    EXPECT_TRUE(closedByPeer(*firstControl));

    sendTextFrame(*second.page, CLIENT_ID_4_3);
    EXPECT_FALSE(readFrameContaining(*second.page, "\"type\":960", 20000).empty());

    // The old proxy was shut down before the new one was made, and its own
    // late report changes nothing.
    const std::vector<std::string> lines = log.texts();
    auto position = [&](const std::string& text) {
        for (std::size_t i = 0; i < lines.size(); ++i)
            if (lines[i] == text) return static_cast<long>(i);
        return -1L;
    };
    const long shutdown = position("NativeClient: ServerProxy 'Session 0' shutdown");
    ASSERT_GE(shutdown, 0);
    long secondReceived = -1;
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i] == "NativeClient: Received new js-bridge connection") secondReceived = static_cast<long>(i);
    EXPECT_LT(shutdown, secondReceived);
    EXPECT_TRUE(log.waitFor(
        "NativeClient: ServerProxy 'Session 0' shutdown requested, ServerProxy 'Session 1' running", 20000));
    EXPECT_EQ(NativeClient::instance()->currentProxy()->name(), "Session 1");
}

TEST_F(Client, ServerSessionFinishedDeletesOnlyTheNamedProxy) {
    NativeClient::instance()->postEvent(new NativeClientServerSessionFinishedEvent("", "Session 9"));
    EXPECT_TRUE(log.waitFor(
        "NativeClient: ServerProxy 'Session 9' shutdown requested, server already exited", 20000));

    BridgePair bridge = connectPage();
    ASSERT_NE(acceptControl(), nullptr);
    ASSERT_TRUE(log.waitFor("NativeClient: New js-bridge connection connected, starting ServerProxy", 20000));
    NativeClient::instance()->postEvent(new NativeClientServerSessionFinishedEvent("", "Session 9"));
    EXPECT_TRUE(log.waitFor(
        "NativeClient: ServerProxy 'Session 9' shutdown requested, ServerProxy 'Session 0' running", 20000));
    NativeClient::instance()->postEvent(new NativeClientServerSessionFinishedEvent("Client closed", "Session 0"));
    EXPECT_TRUE(log.waitFor("NativeClient: Session Session 0 terminated, reason \"Client closed\"", 20000));
    EXPECT_TRUE(closedByPeer(*bridge.page));
}

TEST_F(Client, RefusedTicketClosesThePageSocket) {
    server->setTicketAnswer(403, "no");
    BridgePair bridge = connectPage();
    EXPECT_TRUE(closedByPeer(*bridge.page));
    EXPECT_TRUE(log.waitFor("Can't connect incoming request, ignoring it", 20000));
    EXPECT_TRUE(log.contains("Received 403 status during authTokenRequest, response length: 2"));
    EXPECT_TRUE(log.contains("Session 0: Can't connect WebSocket to server"));
    EXPECT_TRUE(eventually([] {
        ScopedOwnerLock guard(currentProxyLock);
        return NativeClient::instance()->currentProxy() == nullptr;
    }));
}

// Nothing reaches the server for a client id that is missing or that could
// not stand in its request lines as it is.
TEST_F(Client, MissingOrUnsafeClientIdConnectsNothing) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ": Connnect Server Ctrl-WebSocket: ClientID missing"},
        {"id\r\nX-Injected: 1",
         ": Refusing client id \"id\\r\\nX-Injected: 1\" from the js-bridge, it cannot stand in a server path"},
        {"..", ": Refusing client id \"..\" from the js-bridge"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        log.clear();
        BridgePair bridge = connectPage(c.first);
        EXPECT_TRUE(closedByPeer(*bridge.page));
        EXPECT_TRUE(log.waitFor(c.second, 20000));
        EXPECT_TRUE(log.waitFor(": Can't connect WebSocket to server", 20000));
        EXPECT_TRUE(server->requests().empty());
    }
}

// Exit while the NativeClient thread waits for a ticket: the proxy, its
// threads and sockets are gone when stopNativeClient returns.
TEST_F(Client, ExitWhileBusyEndsTheProxyBeforeReturning) {
    server->setTicketDelay(1500);
    BridgePair bridge = connectPage();
    ASSERT_TRUE(server->waitForRequests(1, 20000));
    stopNativeClient();
    EXPECT_TRUE(log.contains("Session 0: Connection to server 127.0.0.1 terminated"));
    EXPECT_EQ(NativeClient::instance()->currentProxy(), nullptr);
    for (const QorThread* thread : ThreadRegistry::snapshot()) {
        EXPECT_EQ(thread->name(), "NativeClient");
        EXPECT_EQ(thread->state() & ThreadState::RUNNING, 0);
    }
    EXPECT_TRUE(closedByPeer(*bridge.page));
    EXPECT_TRUE(log.contains("NativeClient: Exit main loop"));
}

// Exit with USB forwarding running: the connection deregisters with its
// proxy, then the poll thread ends.
TEST_F(Client, ExitEndsTheConnectionThenTheUsbPollThread) {
    BridgePair bridge = connectPage();
    ASSERT_NE(acceptControl(), nullptr);
    ASSERT_TRUE(log.waitFor("NativeClient: New js-bridge connection connected, starting ServerProxy", 20000));
    NativeClientServerProxy* current = nullptr;
    {
        ScopedOwnerLock guard(currentProxyLock);
        current = NativeClient::instance()->currentProxy();
    }
    {
        ScopedOwnerLock guard(usbSupportLock);
        EXPECT_EQ(registeredServerProxy, static_cast<UsbServerConnection*>(current));
    }
    // The poll thread alone, without a daemon to launch.
    usbSupportThread = new NativeClientVHThread();
    usbSupportThread->startTimer();
    stopNativeClient();
    EXPECT_EQ(usbSupportThread, nullptr);
    ScopedOwnerLock guard(usbSupportLock);
    EXPECT_EQ(registeredServerProxy, nullptr);
}

TEST_F(Client, ScreenClosedGoesToTheProxy) {
    BridgePair bridge = connectPage();
    ASSERT_NE(acceptControl(), nullptr);
    ASSERT_TRUE(log.waitFor("NativeClient: New js-bridge connection connected, starting ServerProxy", 20000));
    postScreenClosed(0);
    EXPECT_TRUE(log.waitFor("Session 0: Received screen-closed event for screen 0", 20000));
    EXPECT_TRUE(log.waitFor("Session 0: Session 0 already down, ignoring event", 20000));
}

TEST_F(Client, KeyEventsGoToTheServer) {
    EXPECT_FALSE(sendKeyEvent("KanaMode", "Katakana", false, false, false, false, false));
    EXPECT_TRUE(log.contains("Not sending key, client not connected"));

    BridgePair bridge = connectPage();
    std::unique_ptr<Poco::Net::WebSocket> control = acceptControl();
    ASSERT_NE(control, nullptr);
    ASSERT_TRUE(log.waitFor("NativeClient: New js-bridge connection connected, starting ServerProxy", 20000));
    struct Case {
        bool keyUp, shift, ctrl, alt, meta;
        const char* expected;
    } cases[] = {
        {false, false, false, false, false,
         R"({"C":"KanaMode","Evt":"keydown","K":"Katakana","KU16":0,"Mods":0,"OS":"Windows","type":2})"},
        {true, true, true, true, true,
         R"({"C":"KanaMode","Evt":"keyup","K":"Katakana","KU16":0,"Mods":15,"OS":"Windows","type":2})"},
        {false, true, true, false, false,
         R"({"C":"KanaMode","Evt":"keydown","K":"Katakana","KU16":0,"Mods":10,"OS":"Windows","type":2})"},
        {false, false, false, true, false,
         R"({"C":"KanaMode","Evt":"keydown","K":"Katakana","KU16":0,"Mods":1,"OS":"Windows","type":2})"},
        {false, false, false, false, true,
         R"({"C":"KanaMode","Evt":"keydown","K":"Katakana","KU16":0,"Mods":4,"OS":"Windows","type":2})"},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(sendKeyEvent("KanaMode", "Katakana", c.keyUp, c.shift, c.ctrl, c.alt, c.meta));
        EXPECT_EQ(readTextFrame(*control, 20000), c.expected);
    }
}

TEST(ClientFeatures, BitsFollowEncodingsAndUsb) {
    LogCapture log("debug");
    struct Case {
        std::vector<VideoEncodingSpec> specs;
        bool usb;
        int features;
        const char* list;
    } cases[] = {
        {{}, false, 528, "[]"},
        {{}, true, 592, "[]"},
        {{{0, 0, 8}, {3, 0, 8}}, false, 528, R"(["0,0,8","3,0,8"])"},
        {{{0, 0, 8}, {9, 125, 8}}, false, 529, R"(["0,0,8","9,125,8"])"},
        {{{6, 6, 8}}, true, 593, R"(["6,6,8"])"},
    };
    for (const Case& c : cases) {
        supportedEncodings = c.specs;
        vhIntegrationEnabled.store(c.usb);
        const std::string json = buildClientFeatures();
        QorMessage message(json);
        EXPECT_EQ(message.getType(), 960);
        EXPECT_EQ(message.getInt("NativeClientFeatures"), c.features);
        EXPECT_NE(json.find(std::string("\"VConfList\":") + c.list), std::string::npos) << json;
    }
    supportedEncodings.clear();
    vhIntegrationEnabled.store(false);
    EXPECT_EQ(log.count("NativeClient feature: lossless"), 2);
    EXPECT_TRUE(log.contains("NativeClient feature: VirtualHere integration (disabled)"));
}

TEST(ClientErrors, SetReplacesTestMasks) {
    setClientError(2);
    EXPECT_FALSE(testClientError(1));
    EXPECT_TRUE(testClientError(2));
    setClientError(4);
    EXPECT_FALSE(testClientError(2));
    EXPECT_TRUE(testClientError(4));
    setClientError(0);
}
