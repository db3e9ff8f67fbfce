// How the server connection sets tunnels up and removes them: TUN_CTRL from
// the page, the USB tunnel after the client id, the tunnel path, and the
// removal of a collapsed tunnel, against the fake server.
#include "ConnectionFixture.h"
#include "NativeClientServerProxy.h"
#include "QorMessage.h"
#include "QorTunnelInterface.h"
#include "ServerConnectionValues.h"
#include "TestPaths.h"
#include "TunnelPath.h"
#include "TunnelTestSupport.h"
#include "VHSupport.h"

#include <gtest/gtest.h>

#include <Poco/Net/NetException.h>

using namespace qor;

namespace {

// A proxy that never starts: the dispatch runs on the test's thread, and
// the tunnel WebSockets go to the fake server.
class TunnelControl : public ConnectionTest {
protected:
    void SetUp() override {
        useServer(false);
        screenCount.store(1);
        proxy.reset(new NativeClientServerProxy("127.0.0.1"));
        ASSERT_TRUE(dispatch(R"({"type":100,"NetProtVer":"4.3","SvrVer":"14.0.0","ClntID":"17","Paused":false})"));
    }
    void TearDown() override {
        proxy.reset();
        vhIntegrationEnabled.store(false);
        ConnectionTest::TearDown();
    }
    bool dispatch(const std::string& json) { return proxy->dispatchCtrlMessage(QorMessage(json)); }
    // The WebSocket requests that reached the server so far.
    std::size_t socketRequests() const {
        std::size_t n = 0;
        for (const auto& r : server->requests())
            if (r.method == "POST" && r.target.find("/ws/") != std::string::npos) ++n;
        return n;
    }

    std::unique_ptr<NativeClientServerProxy> proxy;
};

// A started proxy: page messages come over the bridge.
class TunnelThroughProxy : public StartedProxyTest {};

struct ControlCase {
    const char* json;
    bool result;
    const char* line;
};

} // namespace

TEST(TunnelPath, Form) {
    EXPECT_EQ(buildTunnelPath("17", 0, "VHTun-1", 17570, 17574), "/ws/tunnel/17/0/VHTun-1/17570/17574");
    EXPECT_EQ(buildTunnelPath("c", 1, "a/b", -1, 0), "/ws/tunnel/c/1/a/b/-1/0");
}

TEST(TunnelPath, Names) {
    for (const char* good : {"t", "VHTun-1", "a/b", "web.local", "x..y", "ü"})
        EXPECT_TRUE(isValidTunnelName(good)) << good;
    for (const char* bad : {"", " ", "a b", "a?b", "a#b", "a%20b", "a\\b", "a\tb", "a\nb", "a\x7f", ".", "..", "../x",
                            "a/./b", "a/..", "/lead", "a//b", "trail/"})
        EXPECT_FALSE(isValidTunnelName(bad)) << bad;
}

TEST_F(TunnelControl, RefusedRequestsOpenNoWebSocket) {
    const ControlCase cases[] = {
        {R"({"type":300,"TunnelCmd":0})", false, "QOR_TUN_ID value missing, {\"TunnelCmd\":0,\"type\":300}"},
        {R"({"type":300,"TunnelId":null,"TunnelCmd":0})", false, "QOR_TUN_ID value missing, "},
        {R"({"type":300,"TunnelId":"t"})", false, "QOR_TUN_CMD value missing, "},
        {R"({"type":300,"TunnelId":"t","TunnelCmd":"x"})", false,
         "Retrieved invalid value for TunnelCmd (QOR_TUN_CMD)"},
        {R"({"type":300,"TunnelId":"t","TunnelCmd":7})", false,
         "Retrieved invalid value 7 for TunnelCmd (QOR_TUN_CMD)"},
        {R"({"type":300,"TunnelId":"t","TunnelCmd":1})", false, "Tunnel not connected"},
        {R"({"type":300,"TunnelId":"","TunnelCmd":0})", false,
         "Retrieved invalid value '' for TunnelId (QOR_TUN_ID)"},
        {R"({"type":300,"TunnelId":"a b","TunnelCmd":0})", false, "Retrieved invalid value 'a b' for TunnelId"},
        {R"({"type":300,"TunnelId":"a?x=1","TunnelCmd":0})", false, "Retrieved invalid value 'a?x=1' for TunnelId"},
        {R"({"type":300,"TunnelId":"a#b","TunnelCmd":0})", false, "Retrieved invalid value 'a#b' for TunnelId"},
        {R"({"type":300,"TunnelId":"a%2fb","TunnelCmd":0})", false, "Retrieved invalid value 'a%2fb' for TunnelId"},
        {R"({"type":300,"TunnelId":"a\nb","TunnelCmd":0})", false, "Retrieved invalid value 'a\\nb' for TunnelId"},
        {R"({"type":300,"TunnelId":"../../x","TunnelCmd":0})", false, "Retrieved invalid value '../../x' for TunnelId"},
    };
    for (const ControlCase& c : cases) {
        log.clear();
        EXPECT_EQ(dispatch(c.json), c.result) << c.json;
        EXPECT_TRUE(log.contains(c.line)) << c.json << " -> " << ::testing::PrintToString(log.texts());
    }
    EXPECT_FALSE(proxy->hasTunnel());
    EXPECT_EQ(socketRequests(), 0u);
    EXPECT_EQ(server->requests().size(), 0u);  // not even a ticket
}

TEST_F(TunnelControl, SetUpOpensOneWebSocketAndDisconnectRemovesIt) {
    const std::string prefix = proxy->name() + ": ";
    EXPECT_TRUE(dispatch(R"({"type":300,"TunnelId":"web/site","TunnelCmd":0})"));
    AcceptedSocket peer = server->waitForSocket(20000);
    ASSERT_EQ(peer.target, "http://127.0.0.1/ws/tunnel/17/0/web/site/17570/17574");
    ASSERT_TRUE(proxy->hasTunnel());
    EXPECT_TRUE(log.contains(prefix + "Setting up tunnel to server to forward port 17570 to 17574"));
    EXPECT_TRUE(log.contains(prefix + "Tunnel 'web/site' is setup at ports 17570/17574"));
    EXPECT_TRUE(log.contains("web/site: Created QorTunnelServerInterface"));
    // A second set-up, under another name, changes nothing, and says why.
    EXPECT_TRUE(dispatch(R"({"type":300,"TunnelId":"other","TunnelCmd":0})"));
    EXPECT_TRUE(log.contains(prefix + "Tunnel 'other' not set up, the connection has tunnel 'web/site' already"));
    EXPECT_EQ(socketRequests(), 1u);
    EXPECT_EQ(proxy->tunnel()->name(), "web/site");

    EXPECT_TRUE(dispatch(R"({"type":300,"TunnelId":"web/site","TunnelCmd":1})"));
    EXPECT_TRUE(log.contains(prefix + "Disconnecting tunnel to server"));
    EXPECT_FALSE(proxy->hasTunnel());
    // The server sees the closing handshake.
    peer.socket->setReceiveTimeout(Poco::Timespan(10, 0));
    char buffer[64];
    int flags = 0;
    const int n = peer.socket->receiveFrame(buffer, sizeof buffer, flags);
    EXPECT_EQ(flags & Poco::Net::WebSocket::FRAME_OP_BITMASK, Poco::Net::WebSocket::FRAME_OP_CLOSE) << n;
}

TEST_F(TunnelControl, UsbTunnelFollowsTheClientIdWhileUsbForwardingIsOn) {
    // Nothing may listen at the daemon's port 7679.
    ASSERT_TRUE(ownNetworkNamespace());
    const std::string prefix = proxy->name() + ": ";
    vhIntegrationEnabled.store(true);
    EXPECT_TRUE(dispatch(
        R"({"type":100,"NetProtVer":"4.3","SvrVer":"14.0.0","ClntID":"17","Paused":false,"ClntIsHost":true})"));
    AcceptedSocket peer = server->waitForSocket(20000);
    EXPECT_EQ(peer.target, "http://127.0.0.1/ws/tunnel/17/0/VHTun-1/17570/17574");
    EXPECT_TRUE(log.contains(prefix + "Setting up VH tunnel to server to forward port 17570 (VHTun-1)"));
    // No daemon listens here: the notice that the tunnel is up finds nobody.
    EXPECT_TRUE(log.contains("Can't connect locally to server (127.0.0.1:7679) vhproxy not started ?"));
    // Another client id keeps the tunnel.
    EXPECT_TRUE(dispatch(
        R"({"type":100,"NetProtVer":"4.3","SvrVer":"14.0.0","ClntID":"17","Paused":false,"ClntIsHost":true})"));
    EXPECT_EQ(socketRequests(), 1u);
}

TEST_F(TunnelControl, PortsArePlainSignedNumbersInThePath) {
    const std::string prefix = proxy->name() + ": ";
    EXPECT_TRUE(proxy->setupTunnel(1, "t", -1, freeLoopbackPort()));
    AcceptedSocket peer = server->waitForSocket(20000);
    EXPECT_EQ(peer.target.substr(0, 37), "http://127.0.0.1/ws/tunnel/17/1/t/-1/");
    EXPECT_TRUE(log.contains(prefix + "Setting up tunnel to server to forward port -1 to "));
    EXPECT_FALSE(proxy->setupTunnel(-1, "t", 1, 1));
    EXPECT_TRUE(log.contains(prefix + "Retrieved invalid value -1 for TunnelSetupType (QOR_TUN_TYPE)"));
}

TEST_F(TunnelControl, FailedWebSocketLeavesNoTunnel) {
    const std::string prefix = proxy->name() + ": ";
    server->setTicketAnswer(403, "");
    EXPECT_FALSE(dispatch(R"({"type":300,"TunnelId":"t","TunnelCmd":0})"));
    EXPECT_TRUE(log.contains(prefix + "Can't connect tunnel websocket, ports 17570/17574"));
    EXPECT_FALSE(proxy->hasTunnel());
}

// A client side whose port is taken is kept, stopped, so that the next
// page message removes it as collapsed; set-up still reports success.
TEST_F(TunnelControl, BlockedListenPortStillCountsAsSetUp) {
    Poco::Net::ServerSocket taken(Poco::Net::SocketAddress("127.0.0.1", 0));
    const int port = taken.address().port();
    ASSERT_TRUE(proxy->setupTunnel(1, "blocked", 17570, port));
    AcceptedSocket peer = server->waitForSocket(20000);
    EXPECT_EQ(peer.target, "http://127.0.0.1/ws/tunnel/17/1/blocked/17570/" + std::to_string(port));
    EXPECT_TRUE(log.contains("blocked: Couldn't start listener thread, port blocked ?"));
    ASSERT_TRUE(proxy->hasTunnel());
    EXPECT_EQ(proxy->tunnel()->state(), ThreadState::STOP_REQUESTED);
}

// The peer's socket dies: the tunnel's thread ends, and the proxy removes
// the tunnel after the next message from the page.
TEST_F(TunnelThroughProxy, CollapsedTunnelIsRemovedAtTheNextPageMessage) {
    const std::string prefix = proxy->name() + ": ";
    fromPage(R"({"type":300,"TunnelId":"web","TunnelCmd":0})");
    AcceptedSocket peer = server->waitForSocket(20000);
    ASSERT_EQ(peer.target, "http://127.0.0.1/ws/tunnel/client-1/0/web/17570/17574");
    ASSERT_TRUE(log.waitFor(prefix + "Tunnel 'web' is setup at ports 17570/17574", 20000));
    shutDownSocket(*peer.socket);
    peer.socket->close();
    ASSERT_TRUE(log.waitFor("web: Shutdown done", 20000));
    EXPECT_FALSE(log.contains("Tunnel to peer collapsed"));
    fromPage(R"({"type":90})");
    EXPECT_TRUE(log.waitFor("Tunnel to peer collapsed, cleaning up ...", 20000));
    EXPECT_TRUE(log.waitFor("web: Peer socket is shutdown", 20000));
    // A new set-up works again.
    fromPage(R"({"type":300,"TunnelId":"web2","TunnelCmd":0})");
    EXPECT_EQ(server->waitForSocket(20000).target, "http://127.0.0.1/ws/tunnel/client-1/0/web2/17570/17574");
}
