// The daemon vhproxy in front of the real USB server qdvhwin64 (on a device
// file): the list, connect and disconnect reach the server and come back
// with its states, the remote side's binds show, the code 23 until the
// tunnel notice or a remote client, the server's port that the daemon is
// given (and names in its status), a server that is down, silent or
// answers garbage, and a program of another user on the server's port.
#include "VHProxyLink.h"

#include "LinkTestSupport.h"
#include "QorMessage.h"

#include <Poco/JSON/Array.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace {

QorMessage request(const std::string& text) {
    std::string reply;
    if (!vhProxyRequest(text, reply, true)) return QorMessage();
    return QorMessage(reply);
}

// One line-protocol connection to the USB server, as the remote side
// keeps it through the tunnel.
class RemoteSide {
public:
    explicit RemoteSide(int port) : socket_(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port))) {
        socket_.setReceiveTimeout(Poco::Timespan(5, 0));
    }
    std::string request(const std::string& line) {
        const std::string text = line + "\n";
        socket_.sendBytes(text.data(), static_cast<int>(text.size()));
        std::string reply;
        char c = 0;
        while (socket_.receiveBytes(&c, 1) == 1 && c != '\n') reply += c;
        return reply;
    }

private:
    Poco::Net::StreamSocket socket_;
};

// A USB server stand-in that accepts connections and then says nothing, or
// answers every line with a fixed text.
class BrokenUsbServer {
public:
    BrokenUsbServer(int port, std::string answer) : answer_(std::move(answer)) {
        listener_.bind(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port)), true, false);
        listener_.listen();
        thread_ = std::thread([this] { serve(); });
    }
    ~BrokenUsbServer() {
        stopping_ = true;
        thread_.join();
    }

private:
    void serve() {
        std::vector<Poco::Net::StreamSocket> held;
        while (!stopping_) {
            if (!listener_.poll(Poco::Timespan(0, 50000), Poco::Net::Socket::SELECT_READ)) continue;
            Poco::Net::StreamSocket socket = listener_.acceptConnection();
            if (!answer_.empty()) {
                const std::string line = answer_ + "\n";
                socket.sendBytes(line.data(), static_cast<int>(line.size()));
            }
            held.push_back(socket); // silent: the connection stays open
        }
    }

    std::string answer_;
    Poco::Net::ServerSocket listener_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
};

class DaemonOverUsbServer : public ::testing::Test {
protected:
    void SetUp() override {
        writeDevices(usbDeviceJson("1-1", 0x46d, 0xc077, "USB Optical Mouse") + "," +
                     usbDeviceJson("1-2", 0x781, 0x5567, "Cruzer Blade"));
        writeTextFile(files.file("vhserver.cnf"), "TCPPort=" + std::to_string(port) + "\nServerName=desk-9\n");
    }
    // The device file anew (a new file renamed over the old one).
    void writeDevices(const std::string& devices) {
        writeTextFile(files.file("devices.new"), "{\"VHDevList\":[" + devices + "]}");
        std::rename(files.file("devices.new").c_str(), files.file("devices.json").c_str());
    }
    void startUsbServer() {
        usbServer = std::make_unique<PeerProcess>(
            USB_SERVER_PROGRAM, std::vector<std::string>{"--config", files.file("vhserver.cnf"), "--devices",
                                                         files.file("devices.json")});
        std::string rest;
        ASSERT_TRUE(usbServer->waitForLine("qdvhwin64: listening on 127.0.0.1:", rest, 10000)) << usbServer->output();
    }
    std::unique_ptr<DaemonProcess> startDaemon() {
        return std::make_unique<DaemonProcess>("", std::vector<std::string>{"--usbServerConfig=" +
                                                                            files.file("vhserver.cnf")});
    }

    TempDir files;
    int port = freeLoopbackPort();
    std::unique_ptr<PeerProcess> usbServer;
};

} // namespace

TEST_F(DaemonOverUsbServer, ListsConnectsAndDisconnectsThroughTheUsbServer) {
    startUsbServer();
    auto daemon = startDaemon();
    const QorMessage status = request("{\"type\":328}");
    ASSERT_FALSE(status.isEmpty());
    EXPECT_TRUE(status.getBool("VHSvrRunning"));
    EXPECT_EQ(status.getString("VHSvrName"), "desk-9");

    // Before the tunnel notice the remote client counts as disconnected.
    QorMessage list = request("{\"type\":324}");
    EXPECT_EQ(list.getInt("VHErrCode"), 23);
    EXPECT_FALSE(list.hasMember("VHDevList"));
    request("{\"type\":334}");
    list = request("{\"type\":324}");
    EXPECT_EQ(list.getInt("VHErrType"), 0);
    EXPECT_EQ(list.getInt("VHErrCode"), 0);
    EXPECT_EQ(states(list), "1-1=1 1-2=1");
    const Poco::JSON::Object::Ptr mouse = list.getMember("VHDevList").extract<Poco::JSON::Array::Ptr>()->getObject(0);
    EXPECT_EQ(mouse->getValue<std::string>("VHDevPrettyName"), "USB Optical Mouse");
    EXPECT_EQ(mouse->getValue<int>("VHDevVendorId"), 0x46d);

    RemoteSide remote(port);
    const struct {
        const char* what;
        std::string daemonRequest; // to the daemon, or
        std::string remoteRequest; // to the USB server from the remote side
        int errType;
        int errCode;
        const char* states; // of the daemon's list afterwards
    } steps[] = {
        {"connect", R"({"type":326,"VHDevAddress":"1-1","VHDevPrettyName":"USB Optical Mouse"})", "", 0, 0, "1-1=3 1-2=1"},
        {"the remote side binds", "", "ATTACH 1-1", 0, 0, "1-1=2 1-2=1"},
        {"connect a bound device", R"({"type":326,"VHDevAddress":"1-1","VHDevPrettyName":"x"})", "", 0, 0, "1-1=2 1-2=1"},
        {"disconnect", R"({"type":327,"VHDevAddress":"1-1","VHDevPrettyName":"x"})", "", 0, 0, "1-1=4 1-2=1"},
        {"the remote side releases", "", "DETACH 1-1", 0, 0, "1-1=1 1-2=1"},
        {"connect withdrawn", R"({"type":326,"VHDevAddress":"1-2","VHDevPrettyName":"x"})", "", 0, 0, "1-1=1 1-2=3"},
        {"", R"({"type":327,"VHDevAddress":"1-2","VHDevPrettyName":"x"})", "", 0, 0, "1-1=1 1-2=1"},
        {"unknown device", R"({"type":326,"VHDevAddress":"9-9","VHDevPrettyName":"x"})", "", 2, 3, "1-1=1 1-2=1"},
        {"empty address", R"({"type":326,"VHDevAddress":"","VHDevPrettyName":"x"})", "", 2, 3, "1-1=1 1-2=1"},
        {"a line break in the address", R"({"type":326,"VHDevAddress":"1-1\nRELEASE 1-2","VHDevPrettyName":"x"})", "",
         2, 3, "1-1=1 1-2=1"},
    };
    for (const auto& step : steps) {
        if (!step.remoteRequest.empty()) {
            EXPECT_EQ(remote.request(step.remoteRequest).substr(0, 2), "OK") << step.what;
        } else {
            const QorMessage reply = request(step.daemonRequest);
            ASSERT_FALSE(reply.isEmpty()) << step.what;
            EXPECT_EQ(reply.getInt("VHErrType"), step.errType) << step.what;
            EXPECT_EQ(reply.getInt("VHErrCode"), step.errCode) << step.what << " " << reply.toJson();
            if (step.errCode == 0) {
                EXPECT_EQ(states(reply), step.states) << step.what;
            }
        }
        EXPECT_EQ(states(request("{\"type\":324}")), step.states) << step.what;
    }

    // Unplugged: the server forgets the device, and so does the list.
    writeDevices(usbDeviceJson("1-2", 0x781, 0x5567, "Cruzer Blade"));
    EXPECT_EQ(states(request("{\"type\":324}")), "1-2=1");
    EXPECT_NE(daemon->log().find("devices from the USB server configured in " + files.file("vhserver.cnf")),
              std::string::npos)
        << daemon->log();
}

// A daemon that starts again while the client's USB tunnel stays up gets
// no second tunnel notice: the remote client that the USB server has
// tells it that the remote side is connected.
TEST_F(DaemonOverUsbServer, ARemoteClientOfTheServerCountsAsConnected) {
    startUsbServer();
    auto daemon = startDaemon();
    EXPECT_EQ(request("{\"type\":324}").getInt("VHErrCode"), 23);
    RemoteSide remote(port);
    EXPECT_EQ(remote.request("HELLO demo-server"), "OK desk-9");
    const QorMessage list = request("{\"type\":324}");
    EXPECT_EQ(list.getInt("VHErrCode"), 0);
    EXPECT_EQ(states(list), "1-1=1 1-2=1");
}

// The daemon asks the USB server at the port of its command line, where
// the service's registration puts the client's setting, else at the
// client's default 17570; a configuration file beside the program is not
// read. A configuration file named on the command line is read again at
// each request. The status reply names the port that is asked.
TEST_F(DaemonOverUsbServer, AsksTheServerAtThePortItWasGiven) {
    startUsbServer();
    const std::string program = files.file("vhproxy");
    ASSERT_EQ(::link(VHPROXY_PROGRAM, program.c_str()), 0) << "a hard link of the daemon beside vhserver.cnf";
    // status: "<VHSvrPort> <VHSvrRunning>"; list: the VHErrCode of 324.
    auto ask = [&](const std::vector<std::string>& options, std::string& status, int& list) {
        DaemonProcess daemon("", options, program);
        request("{\"type\":334}");
        const QorMessage reply = request("{\"type\":328}");
        status = (reply.hasMember("VHSvrPort") ? std::to_string(reply.getInt("VHSvrPort")) : std::string("none")) +
                 " " + std::to_string(reply.getBool("VHSvrRunning"));
        list = request("{\"type\":324}").getInt("VHErrCode");
    };
    std::string status;
    int list = -1;
    ask({"--usbServerPort=" + std::to_string(port)}, status, list);
    EXPECT_EQ(status, std::to_string(port) + " 1");
    EXPECT_EQ(list, 0);
    ask({}, status, list);
    EXPECT_EQ(status, "17570 0") << "the default, not the configuration beside the program";
    EXPECT_EQ(list, 1);
    PeerProcess usbServerAtDefault(USB_SERVER_PROGRAM, {"--port", "17570", "--devices", files.file("devices.json")});
    std::string rest;
    ASSERT_TRUE(usbServerAtDefault.waitForLine("qdvhwin64: listening on 127.0.0.1:17570", rest, 10000));
    ask({}, status, list);
    EXPECT_EQ(status, "17570 1");
    EXPECT_EQ(list, 0);

    writeTextFile(files.file("other.cnf"), "TCPPort=" + std::to_string(port + 1) + "\n");
    DaemonProcess daemon("", {"--usbServerConfig=" + files.file("other.cnf")}, program);
    request("{\"type\":334}");
    EXPECT_EQ(request("{\"type\":328}").getInt("VHSvrPort"), port + 1);
    EXPECT_EQ(request("{\"type\":324}").getInt("VHErrCode"), 1) << "nothing listens on the configured port";
    writeTextFile(files.file("other.cnf"), "TCPPort=" + std::to_string(port) + "\n");
    EXPECT_EQ(request("{\"type\":328}").getInt("VHSvrPort"), port);
    EXPECT_EQ(request("{\"type\":324}").getInt("VHErrCode"), 0);
}

// A USB server that is down, silent or answers garbage never holds the
// daemon up: the client gets a reply with the reason within the server's
// time-out of a second.
TEST_F(DaemonOverUsbServer, ServerDownSilentOrGarbled) {
    auto daemon = startDaemon();
    request("{\"type\":334}");
    const struct {
        const char* what;
        std::string answer; // "" silent; "-" nothing listens
        int errType;
        int errCode;
        bool running;
    } cases[] = {
        {"down", "-", 4, 1, false},
        {"silent", "", 4, 1, false},
        {"garbage", "<html>garbage</html>", 2, 2, false},
        {"a broken list", "OK {\"VHDevList\":", 2, 2, false},
        {"an error", "ERR 1 Unknown command: LIST", 2, 2, false},
        {"a list that is no object", "OK [1]", 2, 2, false},
    };
    for (const auto& c : cases) {
        std::unique_ptr<BrokenUsbServer> server;
        if (c.answer != "-") server = std::make_unique<BrokenUsbServer>(port, c.answer);
        const auto started = std::chrono::steady_clock::now();
        const QorMessage list = request("{\"type\":324}");
        ASSERT_FALSE(list.isEmpty()) << c.what;
        EXPECT_EQ(list.getInt("VHErrType"), c.errType) << c.what;
        EXPECT_EQ(list.getInt("VHErrCode"), c.errCode) << c.what;
        EXPECT_FALSE(list.getString("VHErrMsg").empty()) << c.what;
        EXPECT_EQ(list.getString("VHErrMsg").find("Poco"), std::string::npos) << c.what << ": " << list.toJson();
        if (c.answer.compare(0, 2, "OK") != 0) {
            const QorMessage connect = request(R"({"type":326,"VHDevAddress":"1-1","VHDevPrettyName":"x"})");
            EXPECT_EQ(connect.getInt("VHErrType"), 4) << c.what;
            EXPECT_EQ(connect.getInt("VHErrCode"), 1) << c.what;
        }
        EXPECT_EQ(request("{\"type\":328}").getBool("VHSvrRunning"), c.running) << c.what;
        // Three requests, each bounded by the server's time-out of a second
        // (the client would give up on each after five).
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(6)) << c.what;
    }
}

// Stopped while it waits for a silent USB server, the daemon finishes the
// requests under way (they use it) before it goes, and ends cleanly (it
// used to go first, and the requests read what was left of it: a
// sanitizer's report in the daemon's output).
TEST_F(DaemonOverUsbServer, StopWaitsForTheRequestsUnderWay) {
    auto daemon = startDaemon();
    BrokenUsbServer silent(port, "");
    std::vector<std::thread> clients;
    std::atomic<int> answered{0};
    for (int i = 0; i < 4; ++i)
        clients.emplace_back([&answered] {
            const QorMessage status = request("{\"type\":328}");
            if (!status.isEmpty() && status.getBool("VHSvrService") && !status.getBool("VHSvrRunning")) ++answered;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(daemon->stop(), 0) << daemon->log();
    for (auto& client : clients) client.join();
    EXPECT_EQ(answered.load(), 4);
}

// Whoever listens first has the USB server's port. For a client of one
// user the daemon asks only a USB server of that user (root's client any):
// a program of another user that took the port gets no request, its
// made-up device list reaches no client and no device is bound through it.
// The client is told whose program holds the port; the daemon logs it once,
// not at every poll, and again when the user's own USB server answers.
TEST_F(DaemonOverUsbServer, AsksOnlyAUsbServerOfTheUserWhoseClientAsks) {
    ASSERT_EQ(::geteuid(), 0u) << "needs root to run clients and servers as other users";
    writeTextFile(files.file("passwd"), privatePasswd);
    writeTextFile(files.file("group"), privateGroup);
    DaemonProcess daemon("", {"--usbServerPort=" + std::to_string(port)}, VHPROXY_PROGRAM,
                         {testSourcePath("usb/with_private_accounts.sh"), files.file("passwd"), files.file("group")});
    const std::string endpoint = "127.0.0.1:" + std::to_string(port);
    const std::string madeUp = "OK {\"RemoteClients\":1,\"VHDevList\":[" +
                               usbDeviceJson("6-6", 0x46d, 0xc31c, "Made-up Keyboard") + "],\"VHSvrName\":\"trap\"}";
    auto foreign = std::make_unique<PeerProcess>(
        "/usr/bin/setpriv",
        std::vector<std::string>{"--reuid=65534", "--regid=65534", "--clear-groups", debianPython(),
                                 testSourcePath("usb/foreign_usb_server.py"), std::to_string(port), madeUp},
        true);
    std::string rest;
    ASSERT_TRUE(foreign->waitForLine("listening ", rest, 20000)) << foreign->output();

    const unsigned int alice = 2001, bob = 2002;
    const std::string list = "{\"type\":324}";
    const std::string status = "{\"type\":328}";
    const std::string bind = R"({"type":326,"VHDevAddress":"6-6","VHDevPrettyName":"Made-up Keyboard"})";
    const std::string release = R"({"type":327,"VHDevAddress":"6-6","VHDevPrettyName":"Made-up Keyboard"})";
    // The answer to a client whose USB server does not run, and why.
    const std::string down = "The VirtualHere USB server is not running.  The USB server port " + endpoint;
    const std::string heldByNobody = down + " is held by user nobody (uid 65534), not by you: ";
    const std::string heldByAlice = down + " is held by user alice (uid 2001), not by you: ";
    requestAs(alice, "{\"type\":334}");
    const struct {
        const char* what;
        unsigned int userId;
        std::string request;
        int type;
        std::string message; // "": answered with the devices "states"
        const char* states;
        bool startOwnServer; // before the step: alice's USB server replaces the program of nobody
    } steps[] = {
        {"alice's list", alice, list, 325, heldByNobody, "", false},
        {"alice's status", alice, status, 328, heldByNobody, "", false},
        {"alice binds", alice, bind, 326, heldByNobody, "", false},
        {"alice releases", alice, release, 327, heldByNobody, "", false},
        {"alice's poll goes on", alice, list, 325, heldByNobody, "", false},
        {"bob, another member of the group", bob, list, 325, heldByNobody, "", false},
        {"alice's own server", alice, list, 325, "", "1-1=1 1-2=1", true},
        {"alice binds at her own server", alice, R"({"type":326,"VHDevAddress":"1-1","VHDevPrettyName":"x"})", 326, "",
         "1-1=3 1-2=1", false},
        {"bob at alice's server", bob, list, 325, heldByAlice, "", false},
        {"root at alice's server", 0, list, 325, "", "1-1=3 1-2=1", false},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        if (step.startOwnServer) {
            // The program prints the lines it gets in the order they come:
            // a request of the daemon would show before the test's own.
            Poco::Net::StreamSocket probe(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port)));
            probe.sendBytes("PROBE\n", 6);
            ASSERT_TRUE(foreign->waitForLine("received PROBE", rest, 10000)) << foreign->output();
            const std::string got = foreign->output();
            EXPECT_EQ(got.find("received"), got.find("received PROBE")) << got;
            foreign.reset();
            ASSERT_EQ(::chown(files.path().c_str(), alice, alice), 0);
            ASSERT_EQ(::chown(files.file("devices.json").c_str(), alice, alice), 0);
            usbServer = std::make_unique<PeerProcess>(
                "/usr/bin/setpriv",
                std::vector<std::string>{"--reuid=2001", "--regid=2001", "--clear-groups", USB_SERVER_PROGRAM,
                                         "--port", std::to_string(port), "--devices", files.file("devices.json")});
            ASSERT_TRUE(usbServer->waitForLine("qdvhwin64: listening on 127.0.0.1:", rest, 10000))
                << usbServer->output();
        }
        const std::string replyText = requestAs(step.userId, step.request);
        const QorMessage reply(replyText);
        ASSERT_FALSE(reply.isEmpty()) << replyText;
        EXPECT_EQ(reply.getType(), step.type) << replyText;
        EXPECT_EQ(replyText.find("Made-up"), std::string::npos) << replyText;
        if (step.type == 328) {
            EXPECT_FALSE(reply.getBool("VHSvrRunning")) << replyText;
            continue;
        }
        if (!step.message.empty()) {
            EXPECT_EQ(reply.getInt("VHErrType"), 4) << replyText;
            EXPECT_EQ(reply.getInt("VHErrCode"), 1) << replyText;
            EXPECT_EQ(reply.getString("VHErrMsg").find(step.message), 0u) << replyText;
            EXPECT_FALSE(reply.hasMember("VHDevList")) << replyText;
        } else {
            EXPECT_EQ(reply.getInt("VHErrCode"), 0) << replyText;
            EXPECT_EQ(states(reply), step.states) << replyText;
        }
    }
    if (foreign) FAIL() << "the steps did not get to alice's own server";

    const std::string log = daemon.log();
    const auto count = [&log](const std::string& text) {
        int n = 0;
        for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
        return n;
    };
    const std::string nobodysPort = "The USB server port " + endpoint + " is held by user nobody (uid 65534), not by ";
    EXPECT_EQ(count(nobodysPort + "user alice (uid 2001) whose client asks: not asking it"), 1) << log;
    EXPECT_EQ(count(nobodysPort + "user bob (uid 2002) whose client asks"), 1) << log;
    EXPECT_EQ(count("Asking the USB server on " + endpoint + " for user alice (uid 2001) again"), 1) << log;
    EXPECT_EQ(count("is held by user alice (uid 2001), not by user bob (uid 2002)"), 1) << log;
    EXPECT_EQ(log.find("Bind requested for 6-6"), std::string::npos) << log;
    EXPECT_EQ(log.find("Release requested for 6-6"), std::string::npos) << log;
}
