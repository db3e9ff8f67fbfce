// The daemon vhproxy through the client's link: status, the device list
// from its fixture (re-read when it changes), the tunnel notice, connect
// and disconnect, several connections at once, hostile frames and idle
// connections, requests it cannot read, its stop, and which users it
// answers (also when a client races it, or floods it).
#include "VHProxyLink.h"

#include "LinkTestSupport.h"
#include "PeerProcess.h"
#include "QorMessage.h"

#include <Poco/JSON/Array.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

namespace {

QorMessage request(const std::string& text) {
    std::string reply;
    if (!vhProxyRequest(text, reply, true)) return QorMessage();
    return QorMessage(reply);
}

std::vector<std::string> addresses(const QorMessage& reply) {
    std::vector<std::string> result;
    const Poco::JSON::Array::Ptr list = reply.getMember("VHDevList").extract<Poco::JSON::Array::Ptr>();
    for (std::size_t i = 0; i < list->size(); ++i)
        result.push_back(list->getObject(static_cast<unsigned int>(i))->getValue<std::string>("VHDevAddress"));
    return result;
}

int stateOf(const QorMessage& reply, const std::string& address) {
    const Poco::JSON::Array::Ptr list = reply.getMember("VHDevList").extract<Poco::JSON::Array::Ptr>();
    for (std::size_t i = 0; i < list->size(); ++i) {
        const Poco::JSON::Object::Ptr device = list->getObject(static_cast<unsigned int>(i));
        if (device->getValue<std::string>("VHDevAddress") == address) return device->getValue<int>("VHDevState");
    }
    return -1;
}

// The connection ended without a reply: closed, or reset when the daemon
// left bytes unread.
bool endsWithoutReply(Poco::Net::StreamSocket& socket) {
    char byte = 0;
    socket.setReceiveTimeout(Poco::Timespan(10, 0));
    try {
        return socket.receiveBytes(&byte, 1) == 0;
    } catch (const Poco::Net::ConnectionResetException&) {
        return true;
    }
}

bool waitForLogLine(const DaemonProcess& daemon, const std::vector<std::string>& anyOf, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const std::string log = daemon.log();
        for (const std::string& line : anyOf)
            if (log.find(line) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Waits until the daemon has taken every connection from its listening
// socket's queue (for a listening socket the table's rx count is that
// queue's length).
bool waitForEmptyAcceptQueue(int timeoutMs) {
    return waitForTcpRow(
        [](const TcpRow& row) {
            return row.own == "0100007F:1DFF" && row.state == "0A" && row.queues.size() > 9 &&
                   row.queues.compare(row.queues.size() - 9, 9, ":00000000") == 0;
        },
        timeoutMs);
}

class Daemon : public ::testing::Test {
protected:
    void SetUp() override { writeTextFile(devices(), twoDevices); }
    std::string devices() const { return files.file("devices.json"); }

    TempDir files;
};

} // namespace

TEST_F(Daemon, ReportsItsStatusAndVersion) {
    DaemonProcess daemon(devices());
    bool running = false;
    bool service = false;
    bool fits = false;
    ASSERT_TRUE(checkVHProxyVersion(&running, &service, &fits));
    EXPECT_TRUE(running);
    EXPECT_TRUE(service);
    EXPECT_TRUE(fits);
    const QorMessage status = request("{\"type\":328}");
    ASSERT_FALSE(status.isEmpty());
    EXPECT_EQ(status.getType(), 328);
    EXPECT_EQ(status.getString("VHProxyVersion"), "14.0.0");
    EXPECT_EQ(status.getString("VHSvrName"), "desk-7");

    // Without its device list the USB server counts as down.
    ::unlink(devices().c_str());
    ASSERT_TRUE(checkVHProxyVersion(&running, &service, &fits));
    EXPECT_FALSE(running);
    EXPECT_TRUE(fits);
}

TEST_F(Daemon, ListsDevicesOnceTheTunnelIsUp) {
    DaemonProcess daemon(devices());
    // The remote VirtualHere client is not connected before the tunnel.
    QorMessage list = request("{\"type\":324}");
    ASSERT_FALSE(list.isEmpty());
    EXPECT_EQ(list.getInt("VHErrType"), 0);
    EXPECT_EQ(list.getInt("VHErrCode"), 23);
    EXPECT_FALSE(list.hasMember("VHDevList"));

    const QorMessage notice = request("{\"type\":334}");
    ASSERT_FALSE(notice.isEmpty());
    EXPECT_EQ(notice.getInt("VHErrCode"), 0);

    list = request("{\"type\":324}");
    ASSERT_FALSE(list.isEmpty());
    EXPECT_EQ(list.getType(), 325);
    EXPECT_EQ(list.getInt("VHErrType"), 0);
    EXPECT_EQ(list.getInt("VHErrCode"), 0);
    EXPECT_EQ(list.getString("VHErrMsg"), "");
    EXPECT_EQ(addresses(list), (std::vector<std::string>{"1.1", "1.2"}));
    const Poco::JSON::Object::Ptr mouse =
        list.getMember("VHDevList").extract<Poco::JSON::Array::Ptr>()->getObject(0);
    EXPECT_EQ(mouse->getValue<std::string>("VHDevPrettyName"), "Optical Mouse");
    EXPECT_EQ(mouse->getValue<int>("VHDevVendorId"), 1133);

    // A changed list is read again; a missing one means the USB server is down.
    writeTextFile(devices(), "[{\"VHDevAddress\":\"2.5\",\"VHDevPrettyName\":\"Keyboard\"}]");
    list = request("{\"type\":324}");
    EXPECT_EQ(addresses(list), std::vector<std::string>{"2.5"});
    ::unlink(devices().c_str());
    list = request("{\"type\":324}");
    EXPECT_EQ(list.getInt("VHErrType"), 4);
    EXPECT_EQ(list.getInt("VHErrCode"), 1);
    for (const char* unusable : {"{broken", "{\"VHSvrName\":{},\"VHDevList\":[]}", "\"devices\""}) {
        writeTextFile(devices(), unusable);
        list = request("{\"type\":324}");
        EXPECT_EQ(list.getInt("VHErrType"), 2) << unusable;
        EXPECT_EQ(list.getInt("VHErrCode"), 2) << unusable;
        EXPECT_EQ(list.getString("VHErrMsg").find("Poco"), std::string::npos) << list.toJson();
    }
}

TEST_F(Daemon, ConnectsAndDisconnectsDevices) {
    DaemonProcess daemon(devices());
    const struct {
        std::string request;
        int errType;
        int errCode;
        std::string address;
        int state;
    } cases[] = {
        {"{\"type\":326,\"VHDevAddress\":\"1.1\",\"VHDevPrettyName\":\"Optical Mouse\"}", 0, 0, "1.1", 3},
        {"{\"type\":326,\"VHDevAddress\":\"1.1\",\"VHDevPrettyName\":\"Optical Mouse\"}", 0, 0, "1.1", 3},
        {"{\"type\":327,\"VHDevAddress\":\"1.1\",\"VHDevPrettyName\":\"Optical Mouse\"}", 0, 0, "1.1", 4},
        {"{\"type\":327,\"VHDevAddress\":\"1.2\",\"VHDevPrettyName\":\"Flash Drive\"}", 0, 0, "1.2", 4},
        {"{\"type\":326,\"VHDevAddress\":\"9.9\",\"VHDevPrettyName\":\"Nothing\"}", 2, 3, "", 0},
        {"{\"type\":326,\"VHDevAddress\":\"1.1\"}", 2, 4, "", 0},
        {"{\"type\":329}", 2, 5, "", 0},
        {"{\"kind\":1}", 2, 4, "", 0},
        // The parser's reason quotes the byte it stopped at; the reply
        // stays JSON whatever that byte is.
        {"{\"type\":\xa5\xce}", 2, 4, "", 0},
        {"{\"type\":\x01}", 2, 4, "", 0},
    };
    for (const auto& c : cases) {
        const QorMessage reply = request(c.request);
        ASSERT_FALSE(reply.isEmpty()) << c.request;
        EXPECT_EQ(reply.getInt("VHErrType"), c.errType) << c.request;
        EXPECT_EQ(reply.getInt("VHErrCode"), c.errCode) << c.request;
        if (!c.address.empty()) {
            EXPECT_EQ(stateOf(reply, c.address), c.state) << c.request;
        }
    }
}

// A client that connects and says nothing holds up nobody else, and frames
// the daemon cannot take close only their own connection.
TEST_F(Daemon, ServesSeveralConnectionsAndSurvivesHostileFrames) {
    DaemonProcess daemon(devices());
    std::vector<Poco::Net::StreamSocket> idle(3);
    for (Poco::Net::StreamSocket& socket : idle) socket.connect(Poco::Net::SocketAddress("127.0.0.1", 7679));
    const struct {
        std::string frame;
        bool shutDown; // the rest of a cut frame never comes
    } hostile[] = {
        {std::string("\xff\xff\xff\xff", 4), false},
        {std::string("\xff\xff\xff\x7f", 4), false},
        {std::string("\x05\x00\x00\x00{\"ty", 8), true},
        {std::string("\x02\x00", 2), true},
    };
    for (const auto& h : hostile) {
        Poco::Net::StreamSocket socket(Poco::Net::SocketAddress("127.0.0.1", 7679));
        socket.sendBytes(h.frame.data(), static_cast<int>(h.frame.size()));
        if (h.shutDown) socket.shutdownSend();
        EXPECT_TRUE(endsWithoutReply(socket)) << h.frame.size() << " bytes";
    }
    std::vector<std::thread> clients;
    std::atomic<int> answered{0};
    for (int i = 0; i < 8; ++i)
        clients.emplace_back([&answered] {
            std::string reply;
            if (vhProxyRequest("{\"type\":328}", reply, true)) ++answered;
        });
    for (std::thread& client : clients) client.join();
    EXPECT_EQ(answered.load(), 8);
    idle.clear();
    EXPECT_EQ(daemon.stop(), 0);
    EXPECT_FALSE(linkPortOpen());
}

// Root and the members of the group are answered, whether the group is a
// user's primary or a supplementary one; any other local user is told why
// not, and nothing of its request is carried out.
TEST_F(Daemon, AnswersMembersOfItsGroupAndTellsOtherUsersWhyNot) {
    ASSERT_EQ(::geteuid(), 0u) << "needs root to run clients as other users";
    writeTextFile(files.file("passwd"), privatePasswd);
    writeTextFile(files.file("group"), privateGroup);
    DaemonProcess daemon(devices(), {}, VHPROXY_PROGRAM,
                         {testSourcePath("usb/with_private_accounts.sh"), files.file("passwd"), files.file("group")});
    const std::string status = "{\"type\":328}";
    const std::string bind = "{\"type\":326,\"VHDevAddress\":\"1.1\",\"VHDevPrettyName\":\"Optical Mouse\"}";
    const struct {
        const char* who;
        unsigned int userId;
        std::string request;
        int refusedType; // -1: answered
        std::string named;
    } cases[] = {
        {"root", 0, status, -1, ""},
        {"alice, in plugdev by her primary group", 2001, status, -1, ""},
        {"bob, in plugdev by a supplementary group", 2002, status, -1, ""},
        {"carol, not in plugdev", 2003, status, 328, "User carol (uid 2003) may not share USB devices"},
        {"carol connecting a device", 2003, bind, 326, "User carol (uid 2003) may not share USB devices"},
        {"carol's unreadable request", 2003, "{\"type\":", 0, "User carol (uid 2003) may not share USB devices"},
        {"a user without an account", 3000, "{\"type\":324}", 324, "The user with uid 3000 may not share"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.who);
        const std::string replyText = requestAs(c.userId, c.request);
        ASSERT_NE(replyText, "no reply\n");
        const QorMessage reply(replyText);
        ASSERT_FALSE(reply.isEmpty()) << replyText;
        if (c.refusedType < 0) {
            EXPECT_EQ(reply.getType(), 328);
            EXPECT_EQ(reply.getString("VHProxyVersion"), "14.0.0");
            continue;
        }
        EXPECT_EQ(reply.getType(), c.refusedType);
        EXPECT_EQ(reply.getInt("VHErrType"), 4);
        EXPECT_EQ(reply.getInt("VHErrCode"), 6);
        EXPECT_EQ(reply.getString("VHAllowGroup"), "plugdev");
        const std::string message = reply.getString("VHErrMsg");
        EXPECT_EQ(message.find(c.named), 0u) << message;
        EXPECT_NE(message.find("usermod -aG plugdev"), std::string::npos) << message;
        EXPECT_NE(daemon.log().find("of user " + std::to_string(c.userId) + ": not allowed to share USB devices"),
                  std::string::npos);
    }
    EXPECT_EQ(daemon.log().find("Bind requested"), std::string::npos) << daemon.log();
    request("{\"type\":334}");
    EXPECT_EQ(stateOf(request("{\"type\":324}"), "1.1"), 1);
}

// A client that sends its request and closes at once, before the daemon
// comes to its connection, is gone by then: the kernel lists its closed
// socket without a user, which must not pass for root. The daemon is
// stopped until the kernel lists the client's socket so, so that it always
// comes too late.
TEST_F(Daemon, CarriesOutNothingForAClientThatClosedBeforeItsTurn) {
    ASSERT_EQ(::geteuid(), 0u) << "needs root to run the client as another user";
    const struct {
        const char* name;
        std::string request;
        std::string carriedOut;
    } cases[] = {
        {"a bind", "{\"type\":326,\"VHDevAddress\":\"1.1\",\"VHDevPrettyName\":\"Optical Mouse\"}",
         "Bind requested for 1.1"},
        {"the tunnel notice", "{\"type\":334}", "The tunnel to the remote VirtualHere client is up"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DaemonProcess daemon(devices());
        // Stopped, the daemon accepts nothing; the kernel still completes
        // the client's connection and keeps its request.
        ASSERT_TRUE(pauseProcess(daemon.processId(), 5000));
        const std::string sent = requestAs(65534, c.request, true);
        ASSERT_EQ(sent.rfind("sent from port ", 0), 0u) << sent;
        ASSERT_TRUE(waitForOwnerlessClose(std::stoi(sent.substr(15)), 5000));
        ::kill(static_cast<pid_t>(daemon.processId()), SIGCONT);
        ASSERT_TRUE(waitForLogLine(daemon, {"its user is unknown", c.carriedOut}, 10000)) << daemon.log();
        EXPECT_EQ(daemon.log().find(c.carriedOut), std::string::npos) << daemon.log();
        // Nothing changed: the tunnel is not taken as up, the device is
        // not bound.
        EXPECT_EQ(request("{\"type\":324}").getInt("VHErrCode"), 23);
        request("{\"type\":334}");
        EXPECT_EQ(stateOf(request("{\"type\":324}"), "1.1"), 1);
    }
}

namespace {

// Connections to the daemon that send part of a request, or nothing.
std::vector<std::unique_ptr<Poco::Net::StreamSocket>> holdConnections(int count) {
    const std::string parts[] = {"", std::string("\x10\x00", 2), std::string("\x10\x00\x00\x00{\"ty", 8)};
    std::vector<std::unique_ptr<Poco::Net::StreamSocket>> held;
    for (int i = 0; i < count; ++i) {
        held.push_back(std::make_unique<Poco::Net::StreamSocket>(Poco::Net::SocketAddress("127.0.0.1", 7679)));
        const std::string& part = parts[i % 3];
        if (!part.empty()) held.back()->sendBytes(part.data(), static_cast<int>(part.size()));
    }
    return held;
}

std::chrono::milliseconds since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

} // namespace

// Connections that wait for their requests hold no worker: however many
// there are (more than the daemon keeps), a request is answered at once.
TEST_F(Daemon, IdleConnectionsHoldUpNoRequest) {
    DaemonProcess daemon(devices());
    const auto held = holdConnections(300);
    // The daemon keeps taking connections in, pushing out those that
    // waited longest. (On a busy machine it may lag behind the flood: while
    // its queue is full, a client's connect times out at once.)
    ASSERT_TRUE(waitForEmptyAcceptQueue(20000)) << daemon.log();
    for (int i = 0; i < 3; ++i) {
        const auto asked = std::chrono::steady_clock::now();
        std::string reply;
        EXPECT_TRUE(vhProxyRequest("{\"type\":328}", reply, true)) << daemon.log();
        // Milliseconds; a loaded machine is given a few seconds.
        EXPECT_LT(since(asked).count(), 3000);
    }
    const std::string log = daemon.log();
    EXPECT_NE(log.find("connections at once: closing those that waited longest"), std::string::npos) << log;
}

// Stopped while peers hold connections without a whole request, the daemon
// ends at once, and a new one can listen on the port.
TEST_F(Daemon, StopsAtOnceWhatEverItsPeersDo) {
    auto daemon = std::make_unique<DaemonProcess>(devices());
    const auto held = holdConnections(30);
    std::string reply;
    ASSERT_TRUE(vhProxyRequest("{\"type\":328}", reply, true));
    const auto stopped = std::chrono::steady_clock::now();
    EXPECT_EQ(daemon->stop(), 0);
    EXPECT_LT(since(stopped).count(), 3000);
    for (const auto& socket : held) {
        char byte = 0;
        socket->setReceiveTimeout(Poco::Timespan(5, 0));
        int received = -1;
        try {
            received = socket->receiveBytes(&byte, 1);
        } catch (const Poco::Exception&) {
            received = 0; // reset: closed as well
        }
        EXPECT_EQ(received, 0);
    }
    daemon.reset();
    DaemonProcess next(devices());
    EXPECT_TRUE(vhProxyRequest("{\"type\":328}", reply, true));
}

// Only an integer is a type; a request the daemon cannot read is refused
// with what was wrong, in words a user can read.
TEST_F(Daemon, RefusesRequestsItCannotReadInPlainWords) {
    DaemonProcess daemon(devices());
    const struct {
        std::string request;
        int type;
        int errCode;
        std::string message;
    } cases[] = {
        {R"({"type":"324"})", 0, 4, "The request's \"type\" is not an integer"},
        {R"({"type":326.9,"VHDevAddress":"1.1","VHDevPrettyName":"Optical Mouse"})", 0, 4,
         "The request's \"type\" is not an integer"},
        {R"({"type":324.0})", 0, 4, "The request's \"type\" is not an integer"},
        {R"({"type":true})", 0, 4, "The request's \"type\" is not an integer"},
        {R"({"type":null})", 0, 4, "The request's \"type\" is not an integer"},
        {R"({"type":{"a":1}})", 0, 4, "The request's \"type\" is not an integer"},
        {R"({"kind":324})", 0, 4, "The request has no \"type\""},
        {R"([324])", 0, 4, "The request is not a JSON object"},
        {R"("324")", 0, 4, "The request is not a JSON object"},
        {R"({"type":)", 0, 4, "The request is not a JSON text (unexpected end of text)"},
        {R"({"type":99999999999})", 0, 5, "Request type 99999999999 not handled"},
        {R"({"type":-1})", -1, 5, "Request type -1 not handled"},
        {R"({"type":326,"VHDevAddress":11,"VHDevPrettyName":"Optical Mouse"})", 326, 4,
         "VHDevAddress and VHDevPrettyName are required texts"},
        {R"({"type":327,"VHDevAddress":"1.1","VHDevPrettyName":{"a":[]}})", 327, 4,
         "VHDevAddress and VHDevPrettyName are required texts"},
    };
    for (const auto& c : cases) {
        std::string text;
        ASSERT_TRUE(vhProxyRequest(c.request, text, true)) << c.request;
        const QorMessage reply(text);
        EXPECT_EQ(reply.getType(), c.type) << c.request;
        EXPECT_EQ(reply.getInt("VHErrType"), 2) << c.request;
        EXPECT_EQ(reply.getInt("VHErrCode"), c.errCode) << c.request;
        EXPECT_EQ(reply.getString("VHErrMsg"), c.message) << c.request;
    }
    // Nothing of the refused requests was carried out.
    const QorMessage list = request("{\"type\":324}");
    EXPECT_EQ(list.getInt("VHErrCode"), 23) << "no tunnel notice came";
    request("{\"type\":334}");
    EXPECT_EQ(stateOf(request("{\"type\":324}"), "1.1"), 1);
}

namespace {

// Connections of flood_peer.py, by the user given (65534, or root), kept
// open while it lives.
std::unique_ptr<PeerProcess> flood(bool otherUser, const std::string& mode, int count) {
    std::vector<std::string> command{debianPython(), testSourcePath("usb/flood_peer.py"), mode,
                                     std::to_string(count)};
    if (otherUser) command = asOrdinaryUser(command);
    const std::string program = command.front();
    command.erase(command.begin());
    return std::make_unique<PeerProcess>(program, command, true);
}

// A value of the daemon's /proc status in kB (VmHWM: its peak memory).
long statusValue(std::uint32_t processId, const std::string& key) {
    std::ifstream status("/proc/" + std::to_string(processId) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
    return -1;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

const std::string statusRequest = "{\"type\":328}";

// A request frame: the text's length (32-bit little-endian), the text.
std::string frameOf(const std::string& text) {
    std::string frame(4, '\0');
    for (int i = 0; i < 4; ++i) frame[static_cast<std::size_t>(i)] = static_cast<char>(text.size() >> (8 * i));
    return frame + text;
}

// Waits until the daemon holds no connection open (none established, none
// whose peer closed it and the daemon not yet).
bool waitForNoOpenConnection(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        bool open = false;
        waitForTcpRow(
            [&open](const TcpRow& row) {
                if (row.own == "0100007F:1DFF" && (row.state == "01" || row.state == "08")) open = true;
                return false;
            },
            0);
        if (!open) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

} // namespace

// Another user's connections hold none of the places of the users the
// daemon serves: while thousands of the other user's connections are
// open, hundreds of root's connections that wait for the rest of their
// requests get places, a new request of root is answered, and then all
// of them are.
TEST_F(Daemon, AnotherUsersConnectionsHoldNoPlace) {
    ASSERT_EQ(::geteuid(), 0u) << "needs root to run the flood as another user";
    DaemonProcess daemon(devices());
    const auto others = flood(true, "nothing", 3000);
    std::string rest;
    ASSERT_TRUE(others->waitForLine("held", rest, 60000)) << others->output();
    ASSERT_TRUE(waitForEmptyAcceptQueue(20000)) << daemon.log();
    // Root's requests come while the other user's connections are held,
    // and are completed within the daemon's time for a request (however
    // long the flood took to set up on a slow machine).
    const std::string frame = frameOf(statusRequest);
    std::vector<std::unique_ptr<Poco::Net::StreamSocket>> own;
    for (int i = 0; i < 200; ++i) {
        own.push_back(std::make_unique<Poco::Net::StreamSocket>(Poco::Net::SocketAddress("127.0.0.1", 7679)));
        own.back()->sendBytes(frame.data(), 8);
    }
    std::string reply;
    EXPECT_TRUE(vhProxyRequest(statusRequest, reply, true)) << daemon.log();
    int answered = 0;
    for (const auto& socket : own) {
        try {
            socket->sendBytes(frame.data() + 8, static_cast<int>(frame.size() - 8));
            if (QorMessage(receiveProxyMessage(*socket)).getType() == 328) ++answered;
        } catch (const Poco::Exception&) {
        }
    }
    EXPECT_EQ(answered, 200) << daemon.log();
    EXPECT_EQ(daemon.log().find("connections at once"), std::string::npos) << daemon.log();
}

// A header that announces a request of 1 MiB costs no memory until the
// bytes come: from another user (refused) or from root (waiting for the
// rest), hundreds of them leave the daemon's peak memory far below what
// their announced lengths add up to.
TEST_F(Daemon, AnnouncedLengthsCostNoMemory) {
    ASSERT_EQ(::geteuid(), 0u) << "needs root to run the flood as another user";
    const struct {
        const char* who;
        bool otherUser;
        int count;
    } cases[] = {{"another user", true, 1000}, {"root", false, 250}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.who);
        DaemonProcess daemon(devices());
        const long before = statusValue(daemon.processId(), "VmHWM");
        const auto headers = flood(c.otherUser, "header", c.count);
        std::string rest;
        ASSERT_TRUE(headers->waitForLine("held", rest, 60000)) << headers->output();
        ASSERT_TRUE(waitForEmptyAcceptQueue(20000)) << daemon.log();
        std::string reply;
        ASSERT_TRUE(vhProxyRequest(statusRequest, reply, true)) << daemon.log();
        // 250 MiB and more were announced.
        EXPECT_LT(statusValue(daemon.processId(), "VmHWM") - before, 64 * 1024) << daemon.log();
    }
}

// Refusals of a user and connections that end without a request are
// logged once and summed up: a flood of them, or a refused client that
// polls, adds a line or two, not one per connection.
TEST_F(Daemon, SumsUpRefusalsAndEarlyClosesOfAUser) {
    ASSERT_EQ(::geteuid(), 0u) << "needs root to run clients as another user";
    DaemonProcess daemon(devices());
    const auto refused = flood(true, "request", 500);
    std::string count;
    ASSERT_TRUE(refused->waitForLine("refused ", count, 60000)) << refused->output();
    EXPECT_EQ(count, "500");
    // Root's connections, taken in by the daemon, then closed unused.
    {
        const auto closing = flood(false, "nothing", 200);
        ASSERT_TRUE(closing->waitForLine("held", count, 60000)) << closing->output();
        ASSERT_TRUE(waitForEmptyAcceptQueue(20000)) << daemon.log();
    }
    ASSERT_TRUE(waitForNoOpenConnection(20000)) << daemon.log();
    // The counts are summed up when the period is over, or at the stop.
    EXPECT_EQ(daemon.stop(), 0);
    const std::string log = daemon.log();
    EXPECT_EQ(occurrences(log, "of user 65534: not allowed to share USB devices"), 1u) << log;
    EXPECT_EQ(occurrences(log, "Refused 499 more connections of user 65534 in the last "), 1u) << log;
    EXPECT_EQ(occurrences(log, "Connection closed before a request arrived"), 1u) << log;
    EXPECT_EQ(occurrences(log, "199 more connections of user 0 ended without a request in the last "), 1u) << log;
}
