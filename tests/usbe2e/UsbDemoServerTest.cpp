// The demo server's side of USB sharing against the real USB server
// qdvhwin64, reached through the client's real USB tunnel: the client's
// bind and release requests make the remote USB client bind and release
// through the tunnel, a force-bind request connects it (which ends the
// daemon's code 23), the server's USB parameters reach the client, and
// every failure reaches the page with its reason.
#include "UsbEndToEndFixture.h"

namespace {

class UsbDemoServer : public UsbEndToEnd {
protected:
    // A USB message to the server as the client's USB support sends it.
    void clientToServer(const std::string& json) {
        ScopedOwnerLock guard(qor::currentProxyLock);
        qor::NativeClientServerProxy* proxy = qor::NativeClient::instance()->currentProxy();
        ASSERT_NE(proxy, nullptr);
        proxy->sendCtrl(json, "test", true);
    }
    static std::string deviceMessage(int type, const std::string& address, const std::string& name) {
        return "{\"VHDevAddress\":\"" + address + "\",\"VHDevPrettyName\":\"" + name +
               "\",\"VHSvrName\":\"desk-9\",\"type\":" + std::to_string(type) + "}";
    }
};

} // namespace

TEST_F(UsbDemoServer, BindsAndReleasesThroughTheClientsTunnel) {
    startUsbServer();
    startDemo({});
    ASSERT_TRUE(waitForUsbTunnel());

    clientToServer(deviceMessage(326, "1-1", "USB Optical Mouse"));
    EXPECT_TRUE(pageGot("usb", "remote USB client connected to USB server 'desk-9' through VHTun-"));
    EXPECT_TRUE(pageGot("usb", "remote USB client bound 'USB Optical Mouse' (1-1)"));
    EXPECT_EQ(usbServerStates(), "1-1=2 1-2=1 clients=1");

    clientToServer(deviceMessage(327, "1-1", "USB Optical Mouse"));
    EXPECT_TRUE(pageGot("usb", "remote USB client released 'USB Optical Mouse' (1-1)"));
    EXPECT_EQ(usbServerStates(), "1-1=1 1-2=1 clients=1");

    // The client's notices are shown, an unplugged device's without address.
    clientToServer(deviceMessage(332, "1-2", "Cruzer Blade"));
    EXPECT_TRUE(pageGot("usb", "client reports 'Cruzer Blade' (1-2) bound"));
    clientToServer(deviceMessage(333, "", "Cruzer Blade"));
    EXPECT_TRUE(pageGot("usb", "client reports 'Cruzer Blade' () released (unplugged)"));

    // A device the USB server does not know: the reason reaches the page.
    clientToServer(deviceMessage(326, "9-9", "Ghost"));
    EXPECT_TRUE(pageGot("usb", "remote USB client can't bind 'Ghost' (9-9): ")) << server->log();
    EXPECT_TRUE(pageGot("usb", "\"error\":true"));
}

TEST_F(UsbDemoServer, ForceBindConnectsTheRemoteClientAndEndsCode23) {
    startUsbServer();
    // The daemon got no tunnel notice: it reports code 23 until a remote
    // client is connected to the USB server.
    DaemonProcess daemon("", {"--usbServerConfig=" + files.file("vhserver.cnf")});
    EXPECT_EQ(daemonListCode(), 23);
    startDemo({});
    ASSERT_TRUE(waitForUsbTunnel());
    // A device whose bind the user asked for before the remote client came.
    EXPECT_EQ(usbServerLine("BIND 1-2"), "OK 3");

    clientToServer(R"({"VHSvrName":"desk-9","type":330})");
    EXPECT_TRUE(pageGot("usb", "client asks the remote USB client to connect to USB server 'desk-9'"));
    EXPECT_TRUE(pageGot("usb", "remote USB client bound 'Cruzer Blade' (1-2)")) << server->log();
    EXPECT_EQ(usbServerStates(), "1-1=1 1-2=2 clients=1");
    EXPECT_EQ(daemonListCode(), 0);
}

TEST_F(UsbDemoServer, PassiveRemoteClientLeavesRequestsPending) {
    startUsbServer();
    startDemo({"--usb-passive"});
    ASSERT_TRUE(waitForUsbTunnel());
    EXPECT_EQ(usbServerLine("BIND 1-1"), "OK 3");
    clientToServer(deviceMessage(326, "1-1", "USB Optical Mouse"));
    EXPECT_TRUE(pageGot("usb", "the remote USB client leaves the bind of 'USB Optical Mouse' (1-1) pending"));
    clientToServer(R"({"VHSvrName":"desk-9","type":330})");
    EXPECT_TRUE(pageGot("usb", "remote USB client connected to USB server 'desk-9'"));
    EXPECT_EQ(usbServerStates(), "1-1=3 1-2=1 clients=1");
}

TEST_F(UsbDemoServer, GuestHasNoUsbTunnelAndTheReasonReachesThePage) {
    startUsbServer();
    startDemo({}, true);
    clientToServer(deviceMessage(326, "1-1", "USB Optical Mouse"));
    EXPECT_TRUE(pageGot("usb", "can't bind 'USB Optical Mouse' (1-1): no USB tunnel"));
    EXPECT_EQ(server->log().find("VHTun-"), std::string::npos) << server->log();
    EXPECT_EQ(usbServerStates(), "1-1=1 1-2=1 clients=0");
}

// The server's USB parameters: the allow list and show-all as the options
// give them, the protocol version, and a new allow list from the page.
TEST_F(UsbDemoServer, SendsItsUsbPolicyAndChangesIt) {
    startDemo({"--usb-allow=Mouse, cruzer", "--usb-show-all", "--protocol-version=4.7"});
    EXPECT_TRUE(pageGot("relay", R"("SrvAllowedUSBDevs":"Mouse, cruzer")"));
    EXPECT_TRUE(pageGot("relay", R"("SrvShowAllUSBDevs":1)"));
    EXPECT_TRUE(pageGot("relay", R"("NetProtVer":"4.7")"));
    relay->sendToServer(R"({"kind":"usb-allow","text":"Keyboard"})");
    EXPECT_TRUE(pageGot("relay", R"("type":101,"SrvAllowedUSBDevs":"Keyboard","SrvShowAllUSBDevs":1)"))
        << server->log();
    EXPECT_TRUE(pageGot("usb", "allow list now 'Keyboard'"));
}

TEST_F(UsbDemoServer, SendsNoAllowListUnlessGiven) {
    startDemo({});
    EXPECT_TRUE(pageGot("relay", R"("SrvShowAllUSBDevs":0)"));
    EXPECT_EQ(relay->count("relay", "SrvAllowedUSBDevs"), 0);
}

