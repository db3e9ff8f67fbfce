// USB sharing end to end: the client as its start-up runs it (USB module,
// USB server qdvhwin64 on the device file, the daemon vhproxy started
// through the systemd stand-in, the poll thread), its connection to the
// demo server, which plays the server and the remote USB client through the
// client's USB tunnel, and the page played by the test. Every step goes
// through the real programs: the page's Connect reaches the daemon and the
// USB server, the server learns of it and binds through the tunnel, the
// client reports the bind, an unplug, a new connection; the allow list, a
// daemon that dies, is silent or is refused, and the exit.
#include "UsbEndToEndFixture.h"

#include "ProcessHelpers.h"
#include "QorMessage.h"
#include "ServerConnectionValues.h"
#include "VHSupport.h"

#include <Poco/JSON/Array.h>

#include <signal.h>

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

long long millisSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class UsbSharing : public UsbEndToEnd {
protected:
    // The client signed in to the demo server with the options, USB
    // support running; the page has the first device list.
    void start(const std::vector<std::string>& serverOptions = {}, const std::string& settings = "") {
        startClientProgram(settings);
        startDemo(serverOptions);
    }

    // The client's messages to the page of the type holding the fragment.
    int pageMessages(int type, const std::string& fragment = "") const {
        int n = 0;
        for (const std::string& text : relay->clientMessageTexts())
            if (text.find("\"type\":" + std::to_string(type)) != std::string::npos &&
                text.find(fragment) != std::string::npos)
                ++n;
        return n;
    }
    bool pageGets(int type, const std::string& fragment, int timeoutMs = 20000) const {
        return eventually([&] { return pageMessages(type, fragment) > 0; }, timeoutMs);
    }
    // The newest device list the page got, "address=state/enabled ...".
    std::string pageDevices() const {
        const std::vector<std::string> texts = relay->clientMessageTexts();
        for (auto it = texts.rbegin(); it != texts.rend(); ++it) {
            QorMessage message(*it);
            if (message.getType() != 325 || !message.hasMember("VHDevList")) continue;
            const Poco::JSON::Array::Ptr list = message.getMember("VHDevList").extract<Poco::JSON::Array::Ptr>();
            std::string text;
            for (std::size_t i = 0; i < list->size(); ++i) {
                const Poco::JSON::Object::Ptr d = list->getObject(static_cast<unsigned int>(i));
                text += (text.empty() ? "" : " ") + d->getValue<std::string>("VHDevAddress") + "=" +
                        std::to_string(d->getValue<int>("VHDevState")) + "/" +
                        std::to_string(d->getValue<int>("VHDevEnabled"));
            }
            return text;
        }
        return "<none>";
    }
    bool pageDevicesBecome(const std::string& devices, int timeoutMs = 20000) const {
        const bool became = eventually([&] { return pageDevices() == devices; }, timeoutMs);
        if (!became) ADD_FAILURE() << "the page's devices are " << pageDevices() << ", not " << devices;
        return became;
    }
    // The server's log holds the line (the demo server logs every USB step).
    bool serverLogged(const std::string& fragment, int timeoutMs = 20000) const {
        const bool logged =
            eventually([&] { return server->log().find(fragment) != std::string::npos; }, timeoutMs);
        if (!logged) ADD_FAILURE() << "no '" << fragment << "' in the server's log\n" << server->log();
        return logged;
    }
    int serverCount(const std::string& fragment) const {
        const std::string text = server->log();
        int n = 0;
        for (std::size_t at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + 1)) ++n;
        return n;
    }
    // The page's Connect (326) or Disconnect (327).
    void pageRequest(int type, const std::string& address) {
        ASSERT_TRUE(relay->sendToClient("{\"type\":" + std::to_string(type) + ",\"VHDevAddress\":\"" + address + "\"}"));
    }
    // Kills the running daemon and waits until the client launched another.
    void killDaemon() {
        const std::uint32_t daemon = findProcessId("vhproxy");
        ASSERT_NE(daemon, 0u);
        ::kill(static_cast<pid_t>(daemon), SIGKILL);
        ASSERT_TRUE(eventually([&] { return findProcessId("vhproxy") != daemon; }));
    }
    // Ends the client as the program's exit does, the page gone with its
    // window; its duration in ms. (An open page would hold the exit up to
    // the bridge's receive time-out, whatever USB sharing does.)
    long long stopClient() {
        relay->stop();
        bridgePage->close();
        const auto begin = Clock::now();
        qor::stopNativeClient();
        return millisSince(begin);
    }
};

} // namespace

// The main road: the list within a tick, Connect from the page through the
// daemon and the USB server to the server, the remote side's bind through
// the tunnel reported back, a release, an unplug, and the exit.
TEST_F(UsbSharing, PageConnectsAndTheServerLearnsOfEveryChange) {
    startClientProgram();
    const auto bridgeOpened = Clock::now();
    startDemo({});
    ASSERT_TRUE(waitForUsbTunnel());
    // The first list comes with the first tick after the connection
    // registered (1.2 s), whatever the page asked.
    ASSERT_TRUE(pageDevicesBecome("1-1=1/1 1-2=1/1", 5000)) << clientLog();
    EXPECT_LE(millisSince(bridgeOpened), 1200 + 2500) << "bridge to first device list";

    pageRequest(326, "1-1");
    EXPECT_TRUE(pageGets(326, "\"VHErrCode\":0")) << clientLog();
    EXPECT_TRUE(serverLogged("client asks to bind 'USB Optical Mouse' (1-1) of USB server 'desk-9'"));
    EXPECT_TRUE(serverLogged("remote USB client bound 'USB Optical Mouse' (1-1)"));
    EXPECT_TRUE(pageDevicesBecome("1-1=2/1 1-2=1/1"));
    EXPECT_TRUE(serverLogged("client reports 'USB Optical Mouse' (1-1) bound"));

    pageRequest(326, "1-2");
    EXPECT_TRUE(serverLogged("remote USB client bound 'Cruzer Blade' (1-2)"));
    EXPECT_TRUE(pageDevicesBecome("1-1=2/1 1-2=2/1"));
    pageRequest(327, "1-2");
    EXPECT_TRUE(serverLogged("client asks to release 'Cruzer Blade' (1-2) of USB server 'desk-9'"));
    EXPECT_TRUE(serverLogged("remote USB client released 'Cruzer Blade' (1-2)"));
    EXPECT_TRUE(pageDevicesBecome("1-1=2/1 1-2=1/1"));
    EXPECT_TRUE(serverLogged("client reports 'Cruzer Blade' (1-2) released"));

    // The bound mouse is unplugged: the notice without an address, then
    // the release request with it.
    writeDevices({deviceJson("1-2", 0x781, 0x5567, "Cruzer Blade")});
    EXPECT_TRUE(pageDevicesBecome("1-2=1/1"));
    EXPECT_TRUE(serverLogged("client asks to release 'USB Optical Mouse' (1-1)"));
    const std::string log = server->log();
    const std::size_t notice = log.find("client reports 'USB Optical Mouse' () released (unplugged)");
    EXPECT_NE(notice, std::string::npos) << log;
    EXPECT_LT(notice, log.find("client asks to release 'USB Optical Mouse' (1-1)"));
    // Devices that the page asks for in vain: the reason comes back.
    pageRequest(326, "1-1");
    EXPECT_TRUE(pageGets(326, "\"VHErrCode\":3")) << relay->clientMessages("\"type\":326");

    EXPECT_LE(stopClient(), 2000);
}
