#include "ConnectionFixture.h"
#include "NativeClient.h"
#include "NativeClientDecoderOutOfSyncEvent.h"
#include "NativeClientServerProxy.h"
#include "QorMessage.h"
#include "QorWebSocket.h"
#include "ServerConnectionValues.h"

#include <Poco/Thread.h>

#include <atomic>
#include <thread>

using namespace qor;

namespace {

const char* const CLIENT_ID_4_3 =
    R"({"type":100,"NetProtVer":"4.3","SvrVer":"14.0.0","ClntID":"client-1","Paused":false})";

using Proxy = StartedProxyTest;

} // namespace

TEST_F(Proxy, NamesItsThreads) {
    EXPECT_EQ(proxy->name(), "Session 0");
    EXPECT_TRUE(log.waitFor("Session 0: Started server ctrl send thread, Session 0 (Send)", 20000));
    EXPECT_TRUE(log.waitFor("Session 0: Started Session 0 (WebClCtrl)", 20000));
    EXPECT_FALSE(autoSignInAllowed.load());
}

TEST_F(Proxy, ClientIdGetsTheFeaturesBack) {
    fromPage(CLIENT_ID_4_3);
    const std::string features = toPage("\"type\":960");
    ASSERT_FALSE(features.empty());
    QorMessage message(features);
    EXPECT_EQ(message.getInt("NativeClientFeatures"), 528);
    EXPECT_EQ(message.getString("VConf"), "0,0,8");
    EXPECT_EQ(proxy->clientId(), "client-1");
}

TEST_F(Proxy, ScreenSetUpOpensVideoSocketAndStartsTheStream) {
    offerCanvas();
    fromPage(CLIENT_ID_4_3);
    fromPage(R"({"type":101,"SvrPNumScrs":1})");
    fromPage(R"({"type":12,"session":0})");
    fromPage(R"({"type":102,"session":0,"SrvVSWth":640,"SrvVSHgt":360})");
    AcceptedSocket video = server->waitForSocket(20000);
    EXPECT_EQ(video.target, "http://127.0.0.1/ws/desktop/screen/client-1/0");
    EXPECT_EQ(video.ticket, "ticket-1");
    EXPECT_EQ(toServer("\"type\":14"), R"({"session":0,"type":14})");

    // Statistics requests: acknowledgement only, then full statistics.
    fromPage(R"({"type":122,"session":0,"StatSvrFrNo":5,"StatOnlyAck":true})");
    EXPECT_EQ(toServer("\"type\":22"), R"({"CSSvrFno":5,"session":0,"type":22})");
    fromPage(R"({"type":122,"session":0,"StatSvrFrNo":6,"StatOnlyAck":false})");
    const std::string stats = toServer("\"type\":16");
    EXPECT_NE(stats.find("\"CSSvrFno\":6"), std::string::npos) << stats;

    // A decoder that lost its stream asks for a resynchronisation.
    proxy->postEvent(new NativeClientDecoderOutOfSyncEvent(0));
    EXPECT_EQ(toServer("\"type\":30"), R"({"session":0,"type":30})");

    // The server ends the screen: with one screen the connection ends.
    fromPage(R"({"type":109,"session":0})");
    EXPECT_TRUE(eventually([&] { return proxyEnded(); }));
    EXPECT_TRUE(log.contains("Session 0: Session 0 cleaned"));
    EXPECT_TRUE(log.contains("Session 0: Logging out"));
}

// Whatever the page sends, the page receive thread reads on.
TEST_F(Proxy, PageMessagesThatAreNoObjectAreDropped) {
    for (const char* text : {"not json", "[1,2,3]", "42", "\"text\"", "{\"type\":"}) fromPage(text);
    fromPage(R"({"type":7})");
    fromPage(CLIENT_ID_4_3);
    EXPECT_FALSE(toPage("\"type\":960").empty());
    EXPECT_EQ(log.count("Session 0 (WebClCtrl): Dropping page message that is not a JSON object"), 5);
    EXPECT_TRUE(log.contains("Session 0: Message (type '7' not handled {\"type\":7}"));
    EXPECT_FALSE(proxyEnded());
}

TEST_F(Proxy, ClosingThePageSocketEndsTheProxy) {
    // A stop that comes before the loop's first wait ends the loop with the
    // receive thread's finish event undispatched: close once it waits.
    ASSERT_TRUE(eventually([&] { return proxy->checkpointLine() == 169; }));
    bridge.page->shutdown();
    EXPECT_TRUE(eventually([&] { return proxyEnded(); }));
    EXPECT_TRUE(log.contains("Session 0: Session -1 already removed"));
    EXPECT_TRUE(log.contains("Session 0: Logging out"));
    // The control socket was closed with a CLOSE frame.
    EXPECT_EQ(readTextFrame(*control, 20000), "");
    EXPECT_TRUE(log.contains("Session 0: Exiting"));
}

TEST_F(Proxy, PageTextOverTheLimitIsRefusedWhole) {
    EXPECT_FALSE(proxy->updateWebClient(std::string(NativeClientServerProxy::PAGE_TEXT_LIMIT + 1, 'x'), false));
    EXPECT_TRUE(log.contains("bytes exceed the message limit"));
    EXPECT_TRUE(proxy->updateWebClient(R"({"type":1})", true));
    EXPECT_EQ(readTextFrame(*bridge.page, 20000), R"({"type":1})");
}

TEST_F(Proxy, ServerOfAnotherMajorVersionEndsOnlyItsConnection) {
    fromPage(R"({"type":100,"NetProtVer":"5.0","SvrVer":"15.0.0","ClntID":"x","Paused":false})");
    EXPECT_TRUE(eventually([&] { return proxyEnded(); }));
    EXPECT_TRUE(log.contains(
        "Session 0: Disconnecting from server. Message \"Connection to server not supported, please upgrade client\""));
    EXPECT_TRUE(log.contains("Session 0: Server version \"15.0.0\" is not compatible with client version \"14.0.0\""));
    EXPECT_EQ(networkProtocolMajor.load(), 5);
    proxy.reset();

    // The next server speaks version 4 and is served.
    connect();
    fromPage(CLIENT_ID_4_3);
    EXPECT_FALSE(toPage("\"type\":960").empty());
    EXPECT_FALSE(proxyEnded());
}

// sendCtrl may be called from any thread while the connection ends; it
// never reaches a sender that is being stopped or deleted.
TEST_F(Proxy, SendCtrlDuringTheEndOfTheConnection) {
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        while (!stop.load()) proxy->sendCtrl(R"({"type":2})", "keyEvent", false);
    });
    Poco::Thread::sleep(50);
    bridge.page->shutdown();
    EXPECT_TRUE(eventually([&] { return proxyEnded(); }));
    stop.store(true);
    sender.join();
    EXPECT_TRUE(log.contains("Session 0: Server ctrl send not initialized '{\"type\":2}', keyEvent"));
}

TEST_F(Proxy, TextUpToANulIsSentAsOneFrame) {
    proxy->sendCtrl(std::string("abc\0def", 7), "nul", false);
    proxy->sendCtrl(R"({"type":2})", "next", true);
    EXPECT_EQ(readTextFrame(*control, 20000), "abc");
    EXPECT_EQ(readTextFrame(*control, 20000), R"({"type":2})");
    EXPECT_TRUE(log.waitFor("Session 0 (Send): Send \"{\"type\":2}\"; \"next\" successfully", 20000));
    EXPECT_FALSE(log.contains("\"nul\" successfully"));
}
