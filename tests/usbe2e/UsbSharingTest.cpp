// USB sharing end to end: the client as its start-up runs it (USB module,
// USB server qdvhwin64 on the device file, the daemon vhproxy started
// through the systemd stand-in, the poll thread), its connection to the
// demo server, which plays the server and the remote USB client through the
// client's USB tunnel, and the page played by the test. Every step goes
// through the real programs: the page's Connect reaches the daemon and the
// USB server, the server learns of it and binds through the tunnel, the
// client reports the bind, an unplug, a new connection; the allow list, a
// daemon that dies, is silent or is refused, a USB server port that another
// user holds, and the exit.
#include "SanitizerBuild.h"
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
        const std::vector<std::string> lists = pageDeviceLists();
        return lists.empty() ? "<none>" : lists.back();
    }
    // Every device list the page got, in order.
    std::vector<std::string> pageDeviceLists() const {
        std::vector<std::string> lists;
        for (const std::string& json : relay->clientMessageTexts()) {
            QorMessage message(json);
            if (message.getType() != 325 || !message.hasMember("VHDevList")) continue;
            const Poco::JSON::Array::Ptr list = message.getMember("VHDevList").extract<Poco::JSON::Array::Ptr>();
            std::string text;
            for (std::size_t i = 0; i < list->size(); ++i) {
                const Poco::JSON::Object::Ptr d = list->getObject(static_cast<unsigned int>(i));
                text += (text.empty() ? "" : " ") + d->getValue<std::string>("VHDevAddress") + "=" +
                        std::to_string(d->getValue<int>("VHDevState")) + "/" +
                        std::to_string(d->getValue<int>("VHDevEnabled"));
            }
            lists.push_back(text);
        }
        return lists;
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
    // The USB lines of the server's log holding the fragment.
    int serverCount(const std::string& fragment) const {
        const std::string text = server->log();
        const std::string line = "USB: " + fragment;
        int n = 0;
        for (std::size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
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
    // window (an open page would hold the exit up to the bridge's receive
    // time-out, whatever USB sharing does), and checks how long it takes:
    // the whole exit, and USB sharing's part of it, from the end of the
    // connection's thread to the end of the poll thread.
    void exitsAtOnce() {
        closeBridge();
        const auto begin = Clock::now();
        qor::stopNativeClient();
        const Poco::Timestamp end;
        long long usbMs = -1;
        for (const CapturedLine& line : log->lines())
            if (line.text.find("NativeClient: Thread (") == 0 && line.text.find(") joined") != std::string::npos)
                usbMs = (end - line.time) / 1000;
        EXPECT_GE(usbMs, 0) << "the connection's thread did not end";
        EXPECT_LE(usbMs, 2000) << "USB sharing's part of the exit";
#if !defined(QDK_ADDRESS_SANITIZER) && !defined(QDK_THREAD_SANITIZER)
        // Under the sanitizers the screen's decoder alone takes seconds to end.
        EXPECT_LE(millisSince(begin), 2000) << "the exit";
#else
        static_cast<void>(begin);
#endif
    }
};

} // namespace

// The main road: the list within a tick, Connect from the page through the
// daemon and the USB server to the server, the remote side's bind through
// the tunnel reported back, a release, an unplug, and the exit.
TEST_F(UsbSharing, PageConnectsAndTheServerLearnsOfEveryChange) {
    start();
    // The first list comes with the first tick after the connection
    // registered (a tick is 1.2 s; one more for a slow machine), whatever
    // the page asked.
    ASSERT_TRUE(pageDevicesBecome("1-1=1/1 1-2=1/1", 5000)) << clientLog();
    EXPECT_LE(millisSince(bridgeOpenedAt), 2400) << "from the bridge's opening to the first device list";
    ASSERT_TRUE(waitForUsbTunnel());

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
    writeDevices({usbDeviceJson("1-2", 0x781, 0x5567, "Cruzer Blade")});
    EXPECT_TRUE(pageDevicesBecome("1-2=1/1"));
    EXPECT_TRUE(serverLogged("client asks to release 'USB Optical Mouse' (1-1)"));
    const std::string log = server->log();
    const std::size_t notice = log.find("client reports 'USB Optical Mouse' () released (unplugged)");
    EXPECT_NE(notice, std::string::npos) << log;
    EXPECT_LT(notice, log.find("client asks to release 'USB Optical Mouse' (1-1)"));
    // Devices that the page asks for in vain: the reason comes back.
    pageRequest(326, "1-1");
    EXPECT_TRUE(pageGets(326, "\"VHErrCode\":3")) << relay->clientMessages("\"type\":326");

    exitsAtOnce();
}

// The daemon dies while the tunnel is up: the client relaunches it and
// tells the new daemon that the tunnel is up, so the lists come again
// without the server being asked to make its remote USB client connect.
TEST_F(UsbSharing, RelaunchedDaemonIsToldOfTheTunnelAgain) {
    start();
    ASSERT_TRUE(waitForUsbTunnel());
    ASSERT_TRUE(pageDevicesBecome("1-1=1/1 1-2=1/1"));
    killDaemon();
    EXPECT_TRUE(clientLogged("Trying to relaunch vhproxy")) << clientLog();
    EXPECT_TRUE(clientLogged("Told the new vhproxy that the USB tunnel is up")) << clientLog();
    // Lists come again (a fresh one: an unplugged stick).
    writeDevices({usbDeviceJson("1-1", 0x46d, 0xc077, "USB Optical Mouse")});
    EXPECT_TRUE(pageDevicesBecome("1-1=1/1"));
    EXPECT_EQ(daemonListCode(), 0);
    EXPECT_EQ(serverCount("client asks the remote USB client to connect"), 0);
    EXPECT_EQ(log->count("Trying to relaunch vhproxy"), 1);
}

// The daemon killed three times: relaunched, relaunched, then USB sharing
// is given up with one report to the page; the page's requests are then
// answered with the reason, and the client exits at once.
TEST_F(UsbSharing, DaemonKilledThreeTimesIsGivenUpWithOneReport) {
    start();
    ASSERT_TRUE(pageDevicesBecome("1-1=1/1 1-2=1/1"));
    for (int time = 1; time <= 2; ++time) {
        killDaemon();
        EXPECT_TRUE(eventually([&] { return log->count("Trying to relaunch vhproxy") == time; })) << time;
        // The relaunched daemon answers: the lists come again.
        writeDevices({usbDeviceJson("1-" + std::to_string(time + 2), 0x46d, 0xc077, "Device " + std::to_string(time))});
        EXPECT_TRUE(pageDevicesBecome("1-" + std::to_string(time + 2) + "=1/1")) << time;
    }
    const std::uint32_t daemon = findProcessId("vhproxy");
    ASSERT_NE(daemon, 0u);
    ::kill(static_cast<pid_t>(daemon), SIGKILL);
    EXPECT_TRUE(pageGets(325, "\"VHErrCode\":999")) << clientLog();
    EXPECT_TRUE(clientLogged("Not restarting vhproxy, tried it 3 times"));
    EXPECT_EQ(pageMessages(325, "\"VHErrMsg\":\"Internal error occured.  Please restart the client to reenable USB "
                                "support.\",\"VHErrType\":4"),
              1);
    pageRequest(326, "1-4");
    EXPECT_TRUE(pageGets(326, "\"VHErrCode\":993")) << clientLog();
    // Two more ticks: no second report, no relaunch.
    Poco::Thread::sleep(2500);
    EXPECT_EQ(pageMessages(325, "\"VHErrCode\":999"), 1);
    EXPECT_EQ(log->count("Trying to relaunch vhproxy"), 2);
    EXPECT_EQ(findProcessId("vhproxy"), 0u);
    exitsAtOnce();
}

// The server's allow list: a device outside it is listed disabled (the
// server asks for all devices) and cannot be connected, whatever the page
// sends; a later parameter message changes the list.
TEST_F(UsbSharing, AllowListDisablesDevicesAndFollowsTheServer) {
    start({"--usb-allow=mouse", "--usb-show-all"});
    ASSERT_TRUE(pageDevicesBecome("1-1=1/1 1-2=1/0")) << clientLog();
    pageRequest(326, "1-2");
    EXPECT_TRUE(pageGets(326, "\"VHErrCode\":991")) << clientLog();
    // Nothing was bound. Whether the server's remote USB client has come
    // through the USB tunnel yet (it is asked to once the tunnel is up) is
    // a matter of timing, not of the allow list.
    const std::string states = usbServerStates();
    EXPECT_EQ(states.substr(0, states.find(" clients=")), "1-1=1 1-2=1");
    EXPECT_EQ(serverCount("client asks to bind"), 0);

    relay->sendToServer(R"({"kind":"usb-allow","text":"Cruzer, Keyboard"})");
    EXPECT_TRUE(pageDevicesBecome("1-1=1/0 1-2=1/1"));
    pageRequest(326, "1-2");
    EXPECT_TRUE(serverLogged("remote USB client bound 'Cruzer Blade' (1-2)"));
    EXPECT_TRUE(pageDevicesBecome("1-1=1/0 1-2=2/1"));
}

// What turns USB sharing off for a connection: a server of another
// protocol minor, and a guest, whose client is not the host.
TEST_F(UsbSharing, ProtocolMinorMismatchDisablesUsbSharing) {
    start({"--protocol-version=4.2"});
    EXPECT_TRUE(clientLogged("Disabling USB integration"));
    EXPECT_EQ(qor::clientErrorCode.load() & 2, 2);
    EXPECT_FALSE(vhIntegrationEnabled.load());
    pageRequest(324, "");
    EXPECT_TRUE(pageGets(325, "\"VHErrCode\":993")) << clientLog();
    EXPECT_EQ(server->log().find("VHTun-"), std::string::npos) << server->log();
}

// A program of another user holds the USB server's port: the client's USB
// module sends it nothing, USB sharing is off, and the page's requests are
// answered with who holds the port.
TEST_F(UsbSharing, UsbServerPortOfAnotherUserTurnsUsbSharingOff) {
    const int clientPort = 17570; // the client program's, its default
    PeerProcess foreign("/usr/bin/setpriv",
                        {"--reuid=65534", "--regid=65534", "--clear-groups", debianPython(),
                         testSourcePath("usb/foreign_usb_server.py"), std::to_string(clientPort)},
                        true);
    std::string listening;
    ASSERT_TRUE(foreign.waitForLine("listening ", listening, 20000)) << foreign.output();
    start();
    const std::string held =
        "The USB server port 127.0.0.1:" + std::to_string(clientPort) + " is held by user nobody (uid 65534)";
    EXPECT_NE(clientLog().find("VirtualHere integration disabled, err: " + held), std::string::npos) << clientLog();
    EXPECT_FALSE(vhIntegrationEnabled.load());
    pageRequest(324, "");
    EXPECT_TRUE(pageGets(325, "\"VHErrMsg\":\"USB forwarding is disabled: " + held)) << clientLog();
    EXPECT_EQ(foreign.output().find("received"), std::string::npos) << foreign.output();
}

TEST_F(UsbSharing, GuestOpensNoUsbTunnel) {
    startClientProgram();
    startDemo({}, true);
    EXPECT_TRUE(clientLogged("VH integration disabled, as client is not host"));
    // No tunnel: the daemon reports no remote client (23), and the
    // server, asked to connect its remote USB client, cannot.
    EXPECT_TRUE(serverLogged("can't connect the remote USB client: no USB tunnel"));
    EXPECT_EQ(server->log().find("VHTun-"), std::string::npos) << server->log();
    EXPECT_EQ(pageMessages(325, "VHDevList"), 0);
}

// A daemon that stops answering (stopped, its port still open): the tick
// that meets the silence counts it as no reply and the poll thread lives on
// (it relaunches the daemon), and the client exits at once, also while a
// tick waits for the silent daemon.
TEST_F(UsbSharing, SilentDaemonHoldsNothingUp) {
    start();
    ASSERT_TRUE(pageDevicesBecome("1-1=1/1 1-2=1/1"));
    const std::uint32_t daemon = findProcessId("vhproxy");
    ASSERT_NE(daemon, 0u);
    ASSERT_TRUE(pauseProcess(daemon, 5000));
    EXPECT_TRUE(clientLogged("Trying to relaunch vhproxy")) << clientLog();
    // The next ticks still come: a list from the relaunched daemon or
    // another failure.
    const int ticks = log->count("requestDeviceList() unsuccessful") + pageMessages(325);
    EXPECT_TRUE(eventually([&] { return log->count("requestDeviceList() unsuccessful") + pageMessages(325) > ticks; },
                           5000))
        << clientLog();
    exitsAtOnce();
    ::kill(static_cast<pid_t>(daemon), SIGCONT);
}

// Pending requests: a remote USB client that leaves the bind pending; the
// client repeats the request to the server every fifth tick, and after 8 s
// the page sees the device exported again.
TEST_F(UsbSharing, PendingBindIsRepeatedAndExpires) {
    start({"--usb-passive"});
    ASSERT_TRUE(pageDevicesBecome("1-1=1/1 1-2=1/1"));
    pageRequest(326, "1-1");
    EXPECT_TRUE(pageDevicesBecome("1-1=3/1 1-2=1/1"));
    // Ticks 5 and 10 of this connection repeat the request (6 s apart).
    EXPECT_TRUE(eventually([&] { return serverCount("client asks to bind 'USB Optical Mouse' (1-1)") >= 2; }, 15000))
        << server->log();
    // 8 s after the request was last seen pending it expires: a list shows
    // the device exported (until the daemon's next list shows it pending).
    auto expired = [&] {
        bool pending = false;
        for (const std::string& list : pageDeviceLists()) {
            if (list == "1-1=3/1 1-2=1/1") pending = true;
            if (pending && list == "1-1=1/1 1-2=1/1") return true;
        }
        return false;
    };
    EXPECT_TRUE(eventually(expired, 15000));
    EXPECT_EQ(usbServerStates(), "1-1=3 1-2=1 clients=0");
}

// A new server connection (the page's bridge closed and opened again): the
// new connection registers, the page gets the lists again, and the device
// still bound is reported to the new connection.
TEST_F(UsbSharing, NewConnectionLearnsTheBoundDevices) {
    start();
    ASSERT_TRUE(pageDevicesBecome("1-1=1/1 1-2=1/1"));
    pageRequest(326, "1-1");
    EXPECT_TRUE(pageDevicesBecome("1-1=2/1 1-2=1/1"));
    EXPECT_TRUE(serverLogged("client reports 'USB Optical Mouse' (1-1) bound"));

    closeBridge();
    EXPECT_TRUE(serverLogged("Control socket " + clientId + ": closed"));
    openBridge();
    EXPECT_TRUE(pageDevicesBecome("1-1=2/1 1-2=1/1")) << clientLog();
    EXPECT_TRUE(eventually([&] { return serverCount("client reports 'USB Optical Mouse' (1-1) bound") == 2; }))
        << server->log();
    EXPECT_TRUE(serverLogged("USB tunnel VHTun-2 is up"));
    pageRequest(327, "1-1");
    EXPECT_TRUE(serverLogged("remote USB client released 'USB Optical Mouse' (1-1)"));
}

// The client's USB server listens on another port than the installed
// daemon asks (the default): the client says so once in its log, and the
// page's reports that the USB server does not answer carry the reason and
// what to do.
TEST_F(UsbSharing, ADaemonThatAsksAnotherPortIsExplained) {
    start({}, "<ServerPort>17571</ServerPort>");
    const std::string warning = "The USB service vhproxy asks the USB server at port 17570, but this client's USB "
                                "server listens at port 17571 (Client.VirtualHere.ServerPort).";
    EXPECT_TRUE(pageGets(325, "\"VHErrMsg\":\"" + warning)) << clientLog();
    EXPECT_EQ(pageMessages(325, "VHDevList"), 0);
    // The warning's own lines, not the messages to the page that hold it.
    const std::string log = clientLog();
    int warnings = 0;
    for (std::size_t at = log.find(warning); at != std::string::npos; at = log.find(warning, at + 1))
        if (at > 0 && log[at - 1] != '"') ++warnings;
    EXPECT_EQ(warnings, 1) << log;
}
