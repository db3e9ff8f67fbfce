// USB forwarding as the server connection carries it: each proxy registers
// with the USB support while it lives, USB messages reach the server's
// control socket and the page's bridge, and a page request that cannot be
// served while forwarding is off is answered with the reason.
#include "ConnectionFixture.h"
#include "NativeClientServerProxy.h"
#include "NativeClientVHSupport.h"
#include "QorMessage.h"
#include "UsbControlMessages.h"
#include "VHSupport.h"

using namespace qor;

namespace {

class UsbForwarding : public StartedProxyTest {
protected:
    void TearDown() override {
        vhIntegrationEnabled.store(false);
        StartedProxyTest::TearDown();
    }
};

UsbServerConnection* registered() {
    ScopedOwnerLock guard(usbSupportLock);
    return registeredServerProxy;
}

} // namespace

TEST_F(UsbForwarding, ProxyIsRegisteredWhileItLives) {
    EXPECT_EQ(registered(), static_cast<UsbServerConnection*>(proxy.get()));
    updateServer(R"({"VHSvrName":"desk-7","type":330})");
    EXPECT_EQ(toServer("\"type\":330"), R"({"VHSvrName":"desk-7","type":330})");
    {
        ScopedOwnerLock guard(usbSupportLock);
        forwardToWebClient(R"({"VHDevList":[],"VHErrCode":0,"VHErrMsg":"","VHErrType":0,"type":325})", false);
    }
    EXPECT_EQ(toPage("\"type\":325"), R"({"VHDevList":[],"VHErrCode":0,"VHErrMsg":"","VHErrType":0,"type":325})");

    // The next connection replaces it; once gone, nothing is registered.
    proxy.reset();
    EXPECT_EQ(registered(), nullptr);
    connect();
    EXPECT_EQ(registered(), static_cast<UsbServerConnection*>(proxy.get()));
    EXPECT_FALSE(log.contains("previous instance might not have been unregistered"));
    proxy.reset();
    EXPECT_EQ(registered(), nullptr);
}

TEST_F(UsbForwarding, PageRequestsWhileForwardingIsOffAreAnsweredWithTheReason) {
    vhIntegrationEnabled.store(false);
    const struct {
        std::string request;
        std::string answer;
    } cases[] = {
        {R"({"type":324})", R"({"VHErrCode":993,"VHErrMsg":"USB forwarding is disabled","VHErrType":4,"type":325})"},
        {R"({"type":326,"VHDevAddress":"1.1"})",
         R"({"VHDevAddress":"1.1","VHErrCode":993,"VHErrMsg":"USB forwarding is disabled","VHErrType":4,"type":326})"},
        {R"({"type":327,"VHDevAddress":"1.1"})",
         R"({"VHDevAddress":"1.1","VHErrCode":993,"VHErrMsg":"USB forwarding is disabled","VHErrType":4,"type":327})"},
    };
    for (const auto& c : cases) {
        fromPage(c.request);
        EXPECT_EQ(toPage("\"VHErrCode\":993"), c.answer) << c.request;
    }
    EXPECT_TRUE(log.contains("Session 0: Received VirtualHere control message VH_CONNECT_DEVICE: "));
    EXPECT_TRUE(log.contains("Session 0: Error processing message: {\"type\":324}"));

    // Given up after the daemon failed: the page learns that too.
    disableUsbSupport("Service vhproxy stopped, disabling VirtualHere support.");
    fromPage(R"({"type":324})");
    EXPECT_EQ(toPage("\"VHErrCode\":993"),
              R"({"VHErrCode":993,"VHErrMsg":"USB forwarding is disabled: Service vhproxy stopped, disabling )"
              R"(VirtualHere support.","VHErrType":4,"type":325})");
}

// A guest (not the host) gets no USB tunnel; the host does, once.
TEST_F(UsbForwarding, OnlyTheHostSetsUpTheUsbTunnel) {
    vhIntegrationEnabled.store(true);
    fromPage(R"({"type":100,"NetProtVer":"4.3","SvrVer":"14.0.0","ClntID":"client-1","Paused":false,"ClntIsHost":false})");
    ASSERT_FALSE(toPage("\"type\":960").empty());
    EXPECT_FALSE(proxy->hasTunnel());
    EXPECT_TRUE(log.contains("VH integration disabled, as client is not host"));
    EXPECT_FALSE(log.contains("Setting up VH tunnel"));
}
