#include "CanvasRegistry.h"
#include "ControlProtocolState.h"
#include "FakeCanvas.h"
#include "LogCapture.h"
#include "NativeClientServerProxy.h"
#include "NativeClientSession.h"
#include "QorMessage.h"
#include "NativeClientVHSupport.h"
#include "ServerConnectionValues.h"
#include "ThreadRegistry.h"
#include "VHSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

using namespace qor;

namespace {

// The dispatch runs on the calling thread: a proxy that never starts is
// enough to see what each message does.
class Dispatch : public ::testing::Test {
protected:
    void SetUp() override {
        serverIsSecure.store(false);
        screenCount.store(1);
        proxy.reset(new NativeClientServerProxy("127.0.0.1"));
    }
    void TearDown() override {
        proxy.reset();
        clearCanvasRegistry();
    }
    bool dispatch(const std::string& json) { return proxy->dispatchCtrlMessage(QorMessage(json)); }

    LogCapture log{"trace"};
    std::unique_ptr<NativeClientServerProxy> proxy;
};

struct Case {
    const char* json;
    bool result;
    const char* line;
};

} // namespace

TEST_F(Dispatch, RefusedMessages) {
    const Case cases[] = {
        {R"({"session":0})", false, "Message type missing, {\"session\":0}"},
        {R"({"type":"x"})", false, "Retrieved invalid value for type (QOR_MSG_TYPE)"},
        {R"({"type":7})", false, "Session 0: Message (type '7' not handled {\"type\":7}"},
        {R"({"type":322})", false, "Session 0: Message (type '322' not handled"},
        {R"({"type":156})", false, "ControlRequest value missing, {\"type\":156}"},
        {R"({"type":156,"KBMCtrlVal":"maybe"})", false, "Retrieved invalid value for KBMCtrlVal (QOR_MU_SVR_KBM_CTRL_VAL)"},
        {R"({"type":300,"TunnelCmd":0})", false, "Session 0: QOR_TUN_ID value missing, "},
        {R"({"type":300,"TunnelId":"t"})", false, "Session 0: QOR_TUN_CMD value missing, "},
        {R"({"type":300,"TunnelId":"t","TunnelCmd":"x"})", false,
         "Session 0: Retrieved invalid value for TunnelCmd (QOR_TUN_CMD)"},
        {R"({"type":300,"TunnelId":"t","TunnelCmd":2})", false,
         "Session 0: Retrieved invalid value 2 for TunnelCmd (QOR_TUN_CMD)"},
        {R"({"type":300,"TunnelId":"t","TunnelCmd":1})", false, "Session 0: Tunnel not connected"},
        {R"({"type":324})", false, "Session 0: Received VirtualHere control message VH_LIST_DEVICES: {\"type\":324}"},
        {R"({"type":12})", false, "Session 0: Session id missing: {\"type\":12}"},
        {R"({"type":12,"session":"a"})", false, "Session 0: Retrieved invalid value for session (QOR_MSG_SCREEN_ID)"},
        {R"({"type":12,"session":1})", false, "Too many sessions allocated, current request: 1"},
        {R"({"type":12,"session":-1})", false, "Too many sessions allocated, current request: -1"},
        {R"({"type":102,"session":0})", false, "Session 0: Can't find session 0"},
        {R"({"type":122,"session":0})", false, "Session 0: Couldn't find session 0"},
        {R"({"type":109,"session":0})", false, "Session 0: Can't find session 0"},
        {R"({"type":109,"session":-1})", true, ""},
        {R"({"type":90})", true, ""},
    };
    for (const Case& c : cases) {
        log.clear();
        EXPECT_EQ(dispatch(c.json), c.result) << c.json;
        if (*c.line) {
            EXPECT_TRUE(log.contains(c.line)) << c.json << " -> " << ::testing::PrintToString(log.texts());
        }
    }
    EXPECT_FALSE(proxy->hasTunnel());
}

TEST_F(Dispatch, SessionsBeyondTheTableAreRefused) {
    screenCount.store(64);
    EXPECT_FALSE(dispatch(R"({"type":12,"session":40})"));
    EXPECT_TRUE(log.contains("Too many sessions allocated, current request: 40"));
    EXPECT_EQ(proxy->sessionAt(40), nullptr);
    EXPECT_EQ(proxy->sessionAt(0), nullptr);
    screenCount.store(1);
}

// The screen sessions that the dispatch starts end with the proxy, also
// when its loop never ran: none outlives it and posts to it afterwards.
TEST_F(Dispatch, SessionsEndWithTheProxy) {
    screenCount.store(2);
    EXPECT_TRUE(dispatch(R"({"type":12,"session":0})"));
    EXPECT_TRUE(dispatch(R"({"type":12,"session":1})"));
    ASSERT_NE(proxy->sessionAt(1), nullptr);
    const std::string name = proxy->sessionAt(1)->name();
    // CLNT_CLOSE ends the sessions, which then report to the proxy.
    EXPECT_TRUE(dispatch(R"({"type":90})"));
    proxy.reset();
    for (const QorThread* thread : ThreadRegistry::snapshot()) EXPECT_NE(thread->name(), name);
    screenCount.store(1);
}

// A server may announce any number of screens; a CLNT_CLOSE visits only the
// session slots that can exist, so it never stalls the proxy thread. The
// bound is a guard far above the few microseconds the walk takes.
TEST_F(Dispatch, ClientCloseWithAHugeScreenCountReturnsAtOnce) {
    EXPECT_TRUE(dispatch(R"({"type":101,"SvrPNumScrs":2147483647})"));
    EXPECT_EQ(screenCount.load(), 2147483647);
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(dispatch(R"({"type":90})"));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    screenCount.store(1);
}

TEST_F(Dispatch, ClientIdVariants) {
    struct IdCase {
        const char* json;
        bool result;
        const char* present;
        const char* absent;
    } cases[] = {
        {R"({"type":100,"NETPROT":"4.3","SRVVER":"14.0.0","ClntID":"a","Paused":false,"ClntIsHost":false})", true,
         "Session 0: Received client id", "Connected to server with version"},
        {R"({"type":100,"NetProtVer":"4.3","SvrVer":"14.1.0","ClntID":"b","Paused":true,"ClntSvrOS":"Linux"})", true,
         "Connected to server with version 14.1.0", "missing in message"},
        {R"({"type":100,"NetProtVer":"4.3","SvrVer":"14.0.0","ClntID":"c"})", true,
         "Information about video state (video paused?) missing in message, ", "Disconnecting"},
        {R"({"type":100,"SvrVer":"14.0.0","ClntID":"d","Paused":false})", false,
         "Session 0: Protocol version missing in message, ", "Received client id x"},
    };
    for (const IdCase& c : cases) {
        log.clear();
        EXPECT_EQ(dispatch(c.json), c.result) << c.json;
        EXPECT_TRUE(log.contains(c.present)) << c.json;
        EXPECT_FALSE(log.contains(c.absent)) << c.json;
        // The features message is built after every client id.
        EXPECT_TRUE(log.contains("Supported features/encodings: ")) << c.json;
    }
}

TEST_F(Dispatch, ClientIdStoresIdAndHostFlag) {
    EXPECT_TRUE(dispatch(R"({"type":100,"NETPROT":"4.3","SRVVER":"14.0.0","ClntID":"a1","Paused":false,"ClntIsHost":false})"));
    EXPECT_EQ(proxy->clientId(), "a1");
    EXPECT_FALSE(proxy->clientIsHost());
    EXPECT_TRUE(proxy->setupVHTunnel());
    EXPECT_TRUE(log.contains("VH integration disabled, as client is not host"));
}

// A client id that could not stand in the server's request lines refuses
// the whole message: nothing of it takes effect.
TEST_F(Dispatch, UnsafeClientIdRefusesTheMessage) {
    EXPECT_TRUE(dispatch(R"({"type":100,"NetProtVer":"4.3","SvrVer":"14.0.0","ClntID":"good","Paused":false})"));
    const char* const refused[] = {
        R"({"type":100,"NetProtVer":"4.3","SvrVer":"14.1.0","ClntID":"x\r\nX-Injected: 1","ClntIsHost":false})",
        R"({"type":100,"NetProtVer":"4.3","SvrVer":"14.1.0","ClntID":"a?b","ClntIsHost":false})",
        R"({"type":100,"NetProtVer":"4.3","SvrVer":"14.1.0","ClntID":"","ClntIsHost":false})",
    };
    for (const char* json : refused) {
        log.clear();
        EXPECT_FALSE(dispatch(json)) << json;
        EXPECT_TRUE(log.contains("Session 0: Refusing client id \"")) << json;
        EXPECT_TRUE(log.contains("\" from the server, it cannot stand in a server path")) << json;
        EXPECT_FALSE(log.contains("Connected to server with version 14.1.0")) << json;
        EXPECT_EQ(proxy->clientId(), "good");
        EXPECT_TRUE(proxy->clientIsHost());
    }
    EXPECT_TRUE(log.contains("Session 0: Refusing client id \"\" from the server"));
}

// A server of another major version closes the gate of its own connection:
// the next message there is dropped, a new connection is served.
TEST_F(Dispatch, VersionGateBelongsToOneConnection) {
    EXPECT_FALSE(dispatch(R"({"type":100,"NetProtVer":"5.0","SvrVer":"15.0.0","ClntID":"x","Paused":false})"));
    EXPECT_EQ(proxy->clientId(), "");
    EXPECT_EQ(proxy->queuedEvents(), 1);  // the error event for the whole connection
    EXPECT_FALSE(dispatch(R"({"type":90})"));
    EXPECT_TRUE(log.contains("Message format version mismatch, received '5', client supports '4'"));

    proxy.reset(new NativeClientServerProxy("127.0.0.1"));
    EXPECT_TRUE(dispatch(R"({"type":90})"));
    EXPECT_TRUE(dispatch(R"({"type":100,"NetProtVer":"4.3","SvrVer":"14.0.0","ClntID":"y","Paused":false})"));
    EXPECT_EQ(proxy->clientId(), "y");
}

TEST_F(Dispatch, MinorMismatchDisablesUsbForwarding) {
    vhIntegrationEnabled.store(true);
    EXPECT_TRUE(dispatch(R"({"type":100,"NetProtVer":"4.2","SvrVer":"14.0.0","ClntID":"x","Paused":false,"ClntIsHost":true})"));
    EXPECT_FALSE(vhIntegrationEnabled.load());
    EXPECT_TRUE(log.contains("Protocol version mismatch client: 4.3, server 4.2, server version 14.0.0"));
    EXPECT_TRUE(log.contains("Disabling USB integration"));
    EXPECT_FALSE(log.contains("Setting up VH tunnel"));
    EXPECT_EQ(clientErrorCode.load(), 2);
    clientErrorCode.store(0);
}

TEST_F(Dispatch, ServerParametersAndCanvasRelabelling) {
    FakeCanvas main(CANVAS_ID_UNASSIGNED);
    ASSERT_TRUE(addCanvas(&main));
    EXPECT_TRUE(dispatch(
        R"({"type":101,"SvrPKBM":1,"SvrPLCrs":0,"SvrPNumScrs":2,"SrvAllowedUSBDevs":"1234:5678","SrvShowAllUSBDevs":1,"SvrPFeatures":9})"));
    EXPECT_EQ(screenCount.load(), 2);
    EXPECT_TRUE(serverInputControl.load());
    {
        ScopedOwnerLock guard(usbSupportLock);
        EXPECT_EQ(allowedUsbDevicesText, "1234:5678");
    }
    EXPECT_TRUE(::showAllUsbDevices.load());
    EXPECT_EQ(serverFeatures.load(), 9);
    EXPECT_EQ(main.canvasId(), CANVAS_ID_CONTROL_WINDOW);

    EXPECT_TRUE(dispatch(R"({"type":101,"SvrPNumScrs":1})"));
    EXPECT_EQ(main.canvasId(), 0);
    EXPECT_TRUE(log.contains("Session 0: Server 'QOR_SVR_PARAM_FEATURES' parameter missing"));

    // The proxy's end gives canvas 0 back as unassigned.
    proxy.reset();
    EXPECT_EQ(main.canvasId(), CANVAS_ID_UNASSIGNED);
}

TEST_F(Dispatch, UnreadableServerParameterEndsTheConnection) {
    EXPECT_FALSE(dispatch(R"({"type":101,"SvrPKBM":"abc","SvrPNumScrs":3})"));
    EXPECT_TRUE(log.contains("Session 0: Retrieved invalid value for SvrPKBM (QOR_SVR_PARAM_INPUT_CONTROL)"));
    EXPECT_EQ(screenCount.load(), 1);
    EXPECT_NE(proxy->state() & ThreadState::STOP_REQUESTED, 0);
}

TEST_F(Dispatch, TunnelSetUpWithoutAServerFails) {
    EXPECT_FALSE(proxy->setupTunnel(2, "t", 1, 1));
    EXPECT_TRUE(log.contains("Session 0: Retrieved invalid value 2 for TunnelSetupType (QOR_TUN_TYPE)"));
    EXPECT_FALSE(proxy->setupTunnel(0, "t", 17570, 17574));
    EXPECT_TRUE(log.contains("Session 0: Setting up tunnel to server to forward port 17570 to 17574"));
    EXPECT_TRUE(log.contains("Session 0: Can't connect tunnel websocket, ports 17570/17574"));
}

TEST_F(Dispatch, ResyncAndWarningsWithoutSocketsAreLogged) {
    EXPECT_TRUE(proxy->sendResync(2));
    EXPECT_TRUE(log.contains("Session 0: Server ctrl send not initialized '{\"session\":2,\"type\":30}', Send resync"));
    clientErrorCode.store(2);
    proxy->warnUsbModuleVersion();
    clientErrorCode.store(0);
    EXPECT_TRUE(log.contains(
        "Sending warning to web-client: Quarrydesk must be updated to version 13.1 or later to enable USB Forwarding"));
    EXPECT_TRUE(log.contains("Can't get web client connection"));
}
