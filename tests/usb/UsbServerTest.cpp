// The USB server program qdvhwin64 through its line protocol: the device
// list, bind and release from this machine's side, attach and detach from
// the remote side, unplugging (the device file rewritten), devices of a
// made-up USB tree, bad requests, several connections, and its start and end,
// also with peers that take no replies and short of threads or descriptors.
#include "LinkTestSupport.h"
#include "PeerProcess.h"
#include "SanitizerBuild.h"
#include "TestPaths.h"
#include "UsbTreeFixture.h"

#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketImpl.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>

namespace {

// One connection to the server: a request line, a reply line.
class LineClient {
public:
    explicit LineClient(int port) {
        socket_.connect(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port)));
        socket_.setReceiveTimeout(Poco::Timespan(5, 0));
    }
    std::string request(const std::string& line) {
        send(line + "\n");
        return readLine();
    }
    void send(const std::string& bytes) { socket_.sendBytes(bytes.data(), static_cast<int>(bytes.size())); }
    std::string readLine() {
        std::size_t end;
        while ((end = buffer_.find('\n')) == std::string::npos) {
            char chunk[4096];
            const int count = socket_.receiveBytes(chunk, sizeof chunk);
            if (count <= 0) return "<closed>";
            buffer_.append(chunk, static_cast<std::size_t>(count));
        }
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
    }
    // "address=state" per device of a LIST reply, and the server's name.
    std::string devices(std::string* serverName = nullptr) {
        const std::string reply = request("LIST");
        if (reply.compare(0, 3, "OK ") != 0) return reply;
        Poco::JSON::Parser parser;
        Poco::JSON::Object::Ptr object = parser.parse(reply.substr(3)).extract<Poco::JSON::Object::Ptr>();
        if (serverName != nullptr) *serverName = object->getValue<std::string>("VHSvrName");
        std::string text;
        Poco::JSON::Array::Ptr list = object->getArray("VHDevList");
        for (std::size_t i = 0; i < list->size(); ++i) {
            Poco::JSON::Object::Ptr d = list->getObject(i);
            text += (text.empty() ? "" : " ") + d->getValue<std::string>("VHDevAddress") + "=" +
                    std::to_string(d->getValue<int>("VHDevState"));
        }
        return text;
    }

private:
    Poco::Net::StreamSocket socket_;
    std::string buffer_;
};

std::string device(const std::string& address, int vendorId, int productId, const std::string& name) {
    return "{\"VHDevAddress\":\"" + address + "\",\"VHDevVendorId\":" + std::to_string(vendorId) +
           ",\"VHDevProductId\":" + std::to_string(productId) + ",\"VHDevPrettyName\":\"" + name +
           "\",\"VHDevPath\":\"/sys/bus/usb/devices/" + address + "\"}";
}

class UsbServerProgram : public ::testing::Test {
protected:
    // Writes the device file anew (a new file renamed over the old one).
    void writeDevices(const std::string& devices) {
        writeTextFile(dir.file("devices.new"), "{\"VHSvrName\":\"desk\",\"VHDevList\":[" + devices + "]}");
        std::rename(dir.file("devices.new").c_str(), dir.file("devices.json").c_str());
    }
    // With ownUser, the server runs as a user of its own, whose process
    // count is its alone, under those resource limits (prlimit's options).
    void start(std::vector<std::string> arguments,
               const std::optional<std::vector<std::string>>& ownUser = std::nullopt) {
        arguments.insert(arguments.begin(), {USB_SERVER_PROGRAM, "--port", std::to_string(port)});
        if (ownUser) {
            const std::string user = std::to_string(ownUserId());
            ASSERT_EQ(::chown(dir.path().c_str(), ownUserId(), ownUserId()), 0);
            arguments.insert(arguments.begin(), {"/usr/bin/setpriv", "--reuid=" + user, "--regid=" + user,
                                                 "--clear-groups"});
            arguments.insert(arguments.begin(), "--");
            arguments.insert(arguments.begin(), ownUser->begin(), ownUser->end());
            arguments.insert(arguments.begin(), "/usr/bin/prlimit");
        }
        const std::string program = arguments.front();
        arguments.erase(arguments.begin());
        server = std::make_unique<PeerProcess>(program, arguments);
        std::string rest;
        ASSERT_TRUE(server->waitForLine("qdvhwin64: listening on 127.0.0.1:", rest, 10000)) << server->output();
        EXPECT_EQ(rest, std::to_string(port));
    }
    // A user id that no other process has (a process id would not do: tests
    // run in process namespaces of their own), above the ids that name users.
    static unsigned int ownUserId() {
        static const unsigned int id = 200000u + std::random_device()() % 1000000000u;
        return id;
    }
    std::string log() const { return readTextFile(dir.file("vhserver.log")); }
    int logCount(const std::string& text) const {
        const std::string all = log();
        int count = 0;
        for (std::size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++count;
        return count;
    }
    // Waits for a line in the server's log, doing `meanwhile` at each look.
    bool waitForLog(const std::string& text, int timeoutMs, const std::function<void()>& meanwhile = {}) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (log().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            if (meanwhile) meanwhile();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
    // A server that still lives answers a new connection; until the
    // deadline, as threads and descriptors come free after a peer's close.
    bool answersNewConnections(int timeoutMs) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        do {
            try {
                if (LineClient(port).request("STATUS").compare(0, 3, "OK ") == 0) return true;
            } catch (const Poco::Exception&) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }

    TempDir dir;
    int port = freeLoopbackPort();
    std::unique_ptr<PeerProcess> server;
};

} // namespace

TEST_F(UsbServerProgram, StatesThroughBothSides) {
    writeDevices(device("1-1", 0x46d, 0xc077, "Logitech USB Optical Mouse") + "," +
                 device("1-2", 0x781, 0x5567, "SanDisk Cruzer Blade"));
    start({"--devices", dir.file("devices.json"), "--log", dir.file("vhserver.log")});
    LineClient daemon(port);
    LineClient remote(port); // the remote side keeps its connection (the tunnel)
    std::string name;
    EXPECT_EQ(daemon.devices(&name), "1-1=1 1-2=1");
    EXPECT_EQ(name, "desk");
    EXPECT_EQ(daemon.request("STATUS"), "OK desk");

    struct Step {
        LineClient* from;
        const char* request;
        const char* reply;
        const char* devices;
    } steps[] = {
        {&daemon, "BIND 1-1", "OK 3", "1-1=3 1-2=1"},
        {&daemon, "BIND 1-1", "OK 3", "1-1=3 1-2=1"},      // a repeated request changes nothing
        {&remote, "ATTACH 1-1", "OK 2", "1-1=2 1-2=1"},
        {&daemon, "BIND 1-1", "OK 2", "1-1=2 1-2=1"},      // bound stays bound
        {&daemon, "RELEASE 1-1", "OK 4", "1-1=4 1-2=1"},
        {&remote, "DETACH 1-1", "OK 1", "1-1=1 1-2=1"},
        {&daemon, "RELEASE 1-2", "OK 1", "1-1=1 1-2=1"},   // nothing to release
        {&daemon, "BIND 1-2", "OK 3", "1-1=1 1-2=3"},
        {&daemon, "RELEASE 1-2", "OK 1", "1-1=1 1-2=1"},   // a bind withdrawn
        {&remote, "ATTACH 1-2", "OK 2", "1-1=1 1-2=2"},    // the remote side binds by itself
        {&daemon, "BIND 9-9", "ERR 2 Device not found: 9-9", "1-1=1 1-2=2"},
        {&daemon, "BIND", "ERR 4 Device address missing", "1-1=1 1-2=2"},
        {&daemon, "bind 1-1", "ERR 1 Unknown command: bind", "1-1=1 1-2=2"},
        {&remote, "", "ERR 1 Unknown command: ", "1-1=1 1-2=2"},
    };
    for (const Step& step : steps) {
        EXPECT_EQ(step.from->request(step.request), step.reply) << step.request;
        EXPECT_EQ(daemon.devices(), step.devices) << step.request;
    }
    EXPECT_EQ(remote.request("QUIT"), "OK");
    EXPECT_EQ(remote.readLine(), "<closed>");
    EXPECT_NE(readTextFile(dir.file("vhserver.log")).find("USB server: device 1-1 exported -> bind requested"),
              std::string::npos);
}

// Connections that say HELLO are remote clients until they close; LIST
// tells how many there are.
TEST_F(UsbServerProgram, CountsRemoteClientsUntilTheyClose) {
    writeDevices(device("1-1", 1, 2, "Gadget"));
    start({"--devices", dir.file("devices.json"), "--log", dir.file("vhserver.log")});
    LineClient daemon(port);
    auto remoteClients = [&] {
        const std::string reply = daemon.request("LIST");
        Poco::JSON::Parser parser;
        return parser.parse(reply.substr(3)).extract<Poco::JSON::Object::Ptr>()->getValue<int>("RemoteClients");
    };
    EXPECT_EQ(remoteClients(), 0);
    auto first = std::make_unique<LineClient>(port);
    EXPECT_EQ(first->request("HELLO desk-server"), "OK desk");
    EXPECT_EQ(first->request("HELLO again"), "OK desk"); // one client, however often it says so
    LineClient second(port);
    EXPECT_EQ(second.request("HELLO other"), "OK desk");
    EXPECT_EQ(remoteClients(), 2);
    EXPECT_EQ(first->request("QUIT"), "OK");
    first.reset();
    // The server sees the end of a connection at its next read.
    for (int i = 0; i < 100 && remoteClients() != 1; ++i) usleep(20000);
    EXPECT_EQ(remoteClients(), 1);
    EXPECT_NE(readTextFile(dir.file("vhserver.log")).find("USB server: remote client 'desk-server' connected"),
              std::string::npos);
}

TEST_F(UsbServerProgram, UnplugAndPlugAgain) {
    writeDevices(device("1-1", 0x46d, 0xc077, "Mouse") + "," + device("1-2", 0x781, 0x5567, "Stick"));
    start({"--devices", dir.file("devices.json")});
    LineClient daemon(port);
    EXPECT_EQ(daemon.request("BIND 1-1"), "OK 3");
    EXPECT_EQ(daemon.request("ATTACH 1-1"), "OK 2");
    EXPECT_EQ(daemon.request("BIND 1-2"), "OK 3");

    // The mouse is unplugged; the stick stays with its state.
    writeDevices(device("1-2", 0x781, 0x5567, "Stick renamed"));
    EXPECT_EQ(daemon.devices(), "1-2=3");
    EXPECT_EQ(daemon.request("DETACH 1-1"), "ERR 2 Device not found: 1-1");
    // Plugged in again: exported, its old state forgotten.
    writeDevices(device("1-2", 0x781, 0x5567, "Stick") + "," + device("1-1", 0x46d, 0xc077, "Mouse"));
    EXPECT_EQ(daemon.devices(), "1-2=3 1-1=1");
    // Another device at the same address is another device.
    writeDevices(device("1-2", 0x46d, 0xc077, "Mouse moved") + "," + device("1-1", 0x46d, 0xc077, "Mouse"));
    EXPECT_EQ(daemon.devices(), "1-2=1 1-1=1");

    // A file that cannot be read leaves the devices; a missing one means none.
    writeTextFile(dir.file("devices.new"), "{\"VHDevList\":[{\"VHDevAddress\":");
    std::rename(dir.file("devices.new").c_str(), dir.file("devices.json").c_str());
    EXPECT_EQ(daemon.devices(), "1-2=1 1-1=1");
    std::remove(dir.file("devices.json").c_str());
    EXPECT_EQ(daemon.devices(), "");
}

TEST_F(UsbServerProgram, DevicesOfTheUsbTree) {
    TempDir root;
    UsbTreeFixture tree(root.path());
    buildMixedUsbTree(tree);
    start({"--system-root", root.path(), "--name", "tree"});
    LineClient daemon(port);
    std::string name;
    EXPECT_EQ(daemon.devices(&name), "1-1.1=1 1-1.3=1 1-2=1 1-3=1 1-4=1 2-1=1 2-2=1");
    EXPECT_EQ(name, "tree");
    EXPECT_EQ(daemon.request("BIND 1-3"), "OK 3");
    // A device plugged in at a free port of the hub.
    tree.add(fakeDevice("1-1.2", 0x046d, 0x0a5c, "Late", "Device"));
    EXPECT_EQ(daemon.devices(), "1-1.1=1 1-1.2=1 1-1.3=1 1-2=1 1-3=3 1-4=1 2-1=1 2-2=1");
    const std::string list = daemon.request("LIST");
    EXPECT_NE(list.find("\"VHDevPrettyName\":\"Late Device\""), std::string::npos) << list;
    EXPECT_NE(list.find("\"VHDevPath\":\"" + root.path() + "/sys/bus/usb/devices/1-1.2\""), std::string::npos);
}

TEST_F(UsbServerProgram, ConfigurationFile) {
    writeDevices(device("3-1", 1, 2, "Gadget"));
    writeTextFile(dir.file("vhserver.cnf"), "# written by hand\nTCPPort=" + std::to_string(port) +
                                                "\nDeviceFixture=devices.json\nServerName=from-file\n");
    server = std::make_unique<PeerProcess>(USB_SERVER_PROGRAM, std::vector<std::string>{"--config",
                                                                                        dir.file("vhserver.cnf")});
    std::string rest;
    ASSERT_TRUE(server->waitForLine("qdvhwin64: listening on 127.0.0.1:", rest, 10000)) << server->output();
    LineClient daemon(port);
    EXPECT_EQ(daemon.devices(), "3-1=1");
    EXPECT_EQ(daemon.request("STATUS"), "OK desk"); // the device file's name wins
}

TEST_F(UsbServerProgram, BadRequestsAndManyConnections) {
    writeDevices(device("1-1", 1, 2, "Gadget"));
    start({"--devices", dir.file("devices.json")});
    std::vector<std::unique_ptr<LineClient>> clients;
    for (int i = 0; i < 20; ++i) clients.push_back(std::make_unique<LineClient>(port));
    for (auto& client : clients) EXPECT_EQ(client->request("STATUS\r"), "OK desk");

    LineClient flooder(port);
    flooder.send(std::string(5000, 'A'));
    EXPECT_EQ(flooder.readLine(), "ERR 4 Line too long");
    EXPECT_EQ(flooder.readLine(), "<closed>");
    // Two requests in one write, split replies.
    LineClient pipelined(port);
    pipelined.send("BIND 1-1\nATTACH 1-1\n");
    EXPECT_EQ(pipelined.readLine(), "OK 3");
    EXPECT_EQ(pipelined.readLine(), "OK 2");
}

TEST_F(UsbServerProgram, PortTakenAndTermination) {
    writeDevices("");
    start({"--devices", dir.file("devices.json")});
    PeerProcess second(USB_SERVER_PROGRAM, {"--port", std::to_string(port), "--devices", dir.file("devices.json")});
    EXPECT_EQ(second.waitForExit(10000), 1);

    LineClient idle(port); // an open connection does not hold the end up
    ::kill(server->id(), SIGTERM);
    EXPECT_EQ(server->waitForExit(5000), 0);
}

namespace {

// A peer that asks for device lists and reads none of them: it writes
// requests until the server stops reading, which it does only while it
// waits to send a reply that the peer does not take.
class StalledReader {
public:
    explicit StalledReader(int port) {
        // Small buffers on this side: the server's send has to wait soon.
        const int size = 4096;
        ::setsockopt(socket_.impl()->sockfd(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        ::setsockopt(socket_.impl()->sockfd(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        socket_.connect(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port)));
    }
    // True once the server took no request for half a second.
    bool fill() {
        for (int rounds = 0; rounds < 100000; ++rounds) {
            if (!socket_.poll(Poco::Timespan(0, 500000), Poco::Net::Socket::SELECT_WRITE)) return true;
            socket_.sendBytes(requests().data(), static_cast<int>(requests().size()));
        }
        return false;
    }
    // A busy server can take half a second off reading without waiting on
    // a reply: whenever it reads on, more requests go out, so that in the
    // end its replies do wait for this peer. Errors after the server has
    // closed the connection are no matter.
    void topUp() {
        ::send(socket_.impl()->sockfd(), requests().data(), requests().size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }

private:
    static const std::string& requests() {
        static const std::string all = [] {
            std::string text;
            for (int i = 0; i < 512; ++i) text += "LIST\n";
            return text;
        }();
        return all;
    }
    Poco::Net::StreamSocket socket_;
};

std::string manyDevices() {
    std::string devices;
    for (int i = 1; i <= 8; ++i)
        devices += (i > 1 ? "," : "") + device("1-" + std::to_string(i), 0x46d, 0xc000 + i,
                                               "A device with a rather long name, number " + std::to_string(i));
    return devices;
}

} // namespace

// A peer that stops taking replies loses its connection once a reply has
// waited for it too long; the others are served meanwhile.
TEST_F(UsbServerProgram, DropsAPeerThatTakesNoReplies) {
    writeDevices(manyDevices());
    start({"--devices", dir.file("devices.json"), "--log", dir.file("vhserver.log")});
    StalledReader stalled(port);
    ASSERT_TRUE(stalled.fill());
    EXPECT_EQ(LineClient(port).request("STATUS"), "OK desk");
    EXPECT_TRUE(waitForLog("which took no reply for 5000 ms", 30000, [&] { stalled.topUp(); })) << log();
    EXPECT_EQ(LineClient(port).request("STATUS"), "OK desk");
}

// Peers that take no replies or say nothing do not hold the end up: the
// server ends at once, and a new one can listen on the port.
TEST_F(UsbServerProgram, StopsAtOnceWhatEverItsPeersDo) {
    writeDevices(manyDevices());
    start({"--devices", dir.file("devices.json"), "--log", dir.file("vhserver.log")});
    std::vector<std::unique_ptr<StalledReader>> stalled;
    for (int i = 0; i < 3; ++i) {
        stalled.push_back(std::make_unique<StalledReader>(port));
        ASSERT_TRUE(stalled.back()->fill());
    }
    std::vector<std::unique_ptr<LineClient>> idle;
    for (int i = 0; i < 5; ++i) {
        idle.push_back(std::make_unique<LineClient>(port));
        EXPECT_EQ(idle.back()->request(i == 0 ? "HELLO remote" : "STATUS"), "OK desk");
    }

    const auto stopped = std::chrono::steady_clock::now();
    ::kill(server->id(), SIGTERM);
    // It takes milliseconds; a loaded machine is given a few seconds.
    EXPECT_EQ(server->waitForExit(3000), 0) << log();
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(3));
    for (auto& client : idle) EXPECT_EQ(client->readLine(), "<closed>");

    server.reset();
    start({"--devices", dir.file("devices.json")});
    EXPECT_EQ(LineClient(port).request("STATUS"), "OK desk");
}

namespace {

// UndefinedBehaviorSanitizer checks each object it is called on through a
// pipe of its own: a sanitized server without a free descriptor reports
// such a call as one on an invalid object.
#if defined(QDK_ADDRESS_SANITIZER)
constexpr bool sanitizersNeedDescriptors = true;
#else
constexpr bool sanitizersNeedDescriptors = false;
#endif

// Processor time (user and system) that a process has used so far.
std::chrono::milliseconds cpuTime(int processId) {
    std::ifstream stat("/proc/" + std::to_string(processId) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) user = std::stoull(field);
        if (i == 15) system = std::stoull(field);
    }
    return std::chrono::milliseconds((user + system) * 1000 / static_cast<unsigned long long>(::sysconf(_SC_CLK_TCK)));
}

} // namespace

// Short of threads or of descriptors, the server serves the connections it
// has, refuses or leaves waiting the others, says so once, and serves again
// as soon as connections end.
struct Shortage {
    const char* name;
    std::vector<std::string> limits;
    int connections;       // held at once, more than the limit allows
    const char* shortLine; // logged once when the shortage begins
    const char* againLine; // logged when it ends
};

void PrintTo(const Shortage& shortage, std::ostream* out) { *out << shortage.name; }

class UsbServerShortage : public UsbServerProgram, public ::testing::WithParamInterface<Shortage> {};

TEST_P(UsbServerShortage, LivesSaysSoOnceAndServesAgain) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the server as a user of its own";
    const Shortage& shortage = GetParam();
    if (sanitizersNeedDescriptors && shortage.limits.front().compare(0, 9, "--nofile=") == 0)
        GTEST_SKIP() << "the sanitizers need descriptors of their own";
    writeDevices(device("1-1", 1, 2, "Gadget"));
    start({"--devices", dir.file("devices.json"), "--log", dir.file("vhserver.log")}, shortage.limits);
    std::vector<std::unique_ptr<LineClient>> held;
    held.push_back(std::make_unique<LineClient>(port));
    EXPECT_EQ(held.front()->request("STATUS"), "OK desk");
    for (int i = 1; i < shortage.connections; ++i) held.push_back(std::make_unique<LineClient>(port));
    ASSERT_TRUE(waitForLog(shortage.shortLine, 10000)) << log();

    // The server neither ends nor spins while the shortage lasts.
    const auto cpuBefore = cpuTime(server->id());
    const auto wallBefore = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT((cpuTime(server->id()) - cpuBefore).count() * 4,
              std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - wallBefore)
                  .count())
        << "processor time while short of resources";
    EXPECT_EQ(held.front()->request("STATUS"), "OK desk");
    EXPECT_EQ(logCount(shortage.shortLine), 1) << log().substr(0, 4000);

    held.clear();
    EXPECT_TRUE(answersNewConnections(10000)) << log().substr(0, 4000);
    EXPECT_TRUE(waitForLog(shortage.againLine, 5000)) << log().substr(0, 4000);
    EXPECT_EQ(logCount(shortage.shortLine), 1);
    ::kill(server->id(), SIGTERM);
    EXPECT_EQ(server->waitForExit(3000), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, UsbServerShortage,
    ::testing::Values(Shortage{"Threads", {"--nproc=64:64"}, 100, "can't start a thread for a connection",
                               "serving connections again"},
                      Shortage{"Descriptors", {"--nofile=256:256"}, 300, "accepting paused until a connection ends",
                               "accepting connections again"}),
    [](const ::testing::TestParamInfo<Shortage>& info) { return std::string(info.param.name); });

// Out of descriptors, the server cannot look at its devices: they stay as
// they were, with their states, rather than count as unplugged.
TEST_F(UsbServerProgram, KeepsItsDevicesWhileItCannotLookAtThem) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the server as a user of its own";
    if (sanitizersNeedDescriptors) GTEST_SKIP() << "the sanitizers need descriptors of their own";
    for (const bool fromTree : {false, true}) {
        SCOPED_TRACE(fromTree ? "USB tree" : "device file");
        TempDir root;
        UsbTreeFixture tree(root.path());
        std::vector<std::string> arguments{"--log", dir.file("vhserver.log")};
        if (fromTree) {
            buildMixedUsbTree(tree);
            arguments.insert(arguments.end(), {"--system-root", root.path()});
        } else {
            writeDevices(device("1-1", 1, 2, "Gadget") + "," + device("1-3", 3, 4, "Stick"));
            arguments.insert(arguments.end(), {"--devices", dir.file("devices.json")});
        }
        start(arguments, std::vector<std::string>{"--nofile=64:64"});
        LineClient daemon(port);
        EXPECT_EQ(daemon.request("BIND 1-3"), "OK 3");
        const std::string before = daemon.devices();
        std::vector<std::unique_ptr<LineClient>> held;
        for (int i = 0; i < 80; ++i) held.push_back(std::make_unique<LineClient>(port));
        ASSERT_TRUE(waitForLog("accepting paused until a connection ends", 10000)) << log();

        // The source changes while the server cannot read it.
        if (fromTree) tree.add(fakeDevice("1-1.2", 0x046d, 0x0a5c, "Late", "Device"));
        else writeDevices(device("1-1", 1, 2, "Gadget") + "," + device("1-3", 3, 4, "Stick") + "," +
                          device("1-4", 5, 6, "Late"));
        EXPECT_EQ(daemon.devices(), before);

        held.clear();
        ASSERT_TRUE(answersNewConnections(10000)) << log();
        const std::string after = daemon.devices();
        EXPECT_NE(after, before);
        EXPECT_NE(after.find("1-3=3"), std::string::npos) << after;
        ::kill(server->id(), SIGTERM);
        EXPECT_EQ(server->waitForExit(3000), 0);
        server.reset();
        std::remove(dir.file("vhserver.log").c_str());
    }
}

namespace {

// The command that runs line_client.py as the user with the options.
std::vector<std::string> lineClientAs(unsigned int user, const std::vector<std::string>& options) {
    std::vector<std::string> command{"/usr/bin/setpriv", "--reuid=" + std::to_string(user),
                                     "--regid=" + std::to_string(user), "--clear-groups", debianPython(),
                                     testSourcePath("usb/line_client.py")};
    if (user == 0) command.erase(command.begin(), command.begin() + 4);
    command.insert(command.end(), options.begin(), options.end());
    return command;
}

// The reply lines that a client running as the user gets for the lines
// (line_client.py), joined by " | "; over that many connections one after
// the other.
std::string askAs(unsigned int user, int port, const std::vector<std::string>& lines, int connections = 1) {
    std::vector<std::string> options{std::to_string(port)};
    if (connections != 1) options.insert(options.begin(), {"--times", std::to_string(connections)});
    options.insert(options.end(), lines.begin(), lines.end());
    int exitCode = -1;
    std::string replies = runToEnd(lineClientAs(user, options), &exitCode);
    if (exitCode != 0) return "<failed> " + replies;
    while (!replies.empty() && replies.back() == '\n') replies.pop_back();
    for (std::size_t at; (at = replies.find('\n')) != std::string::npos;) replies.replace(at, 1, " | ");
    return replies;
}

// A client running as the user sends the lines and closes at once;
// "sent from port <port>".
std::string sendAndCloseAs(unsigned int user, int port, const std::vector<std::string>& lines) {
    std::vector<std::string> options{"--send-and-close", std::to_string(port)};
    options.insert(options.end(), lines.begin(), lines.end());
    return runToEnd(lineClientAs(user, options));
}

} // namespace

// The server answers its own user (the client that started it, and the
// remote side through that client's tunnel) and root (the daemon); another
// local user's connection is closed before any request of its is carried
// out. Its first refusal is logged; the many that follow are summed up in
// one line (here when the server stops), not logged one by one.
TEST_F(UsbServerProgram, AnswersOnlyItsOwnUserAndRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the server and its clients as other users";
    writeDevices(device("1-1", 1, 2, "Gadget"));
    ::chmod(dir.file("devices.json").c_str(), 0644);
    start({"--devices", dir.file("devices.json"), "--log", dir.file("vhserver.log")}, std::vector<std::string>{});
    const unsigned int other = 65534;
    const struct {
        unsigned int user;
        std::vector<std::string> lines;
        std::string replies;
    } cases[] = {
        {other, {"HELLO intruder", "STATUS"}, "<closed>"},
        {other, {"BIND 1-1"}, "<closed>"},
        {ownUserId(), {"STATUS", "BIND 1-1", "RELEASE 1-1"}, "OK desk | OK 3 | OK 1"},
        {0, {"ATTACH 1-1", "DETACH 1-1"}, "OK 2 | OK 1"},
    };
    for (const auto& c : cases) EXPECT_EQ(askAs(c.user, port, c.lines), c.replies) << c.user;

    // A flood of the other user's connections, each refused.
    const int flood = 300;
    const std::string floodReplies = askAs(other, port, {"BIND 1-1"}, flood);
    int closed = 0;
    for (std::size_t at = floodReplies.find("<closed>"); at != std::string::npos;
         at = floodReplies.find("<closed>", at + 1))
        ++closed;
    EXPECT_EQ(closed, flood) << floodReplies.substr(0, 200);

    // Nothing the refused user sent was carried out: no remote client, no bind.
    LineClient daemon(port);
    const std::string list = daemon.request("LIST");
    EXPECT_NE(list.find("\"RemoteClients\":0"), std::string::npos) << list;
    EXPECT_EQ(daemon.devices(), "1-1=1");
    EXPECT_EQ(logCount("refused a connection of user 65534 from 127.0.0.1:"), 1) << log();
    EXPECT_EQ(logCount("refused"), 1) << log().substr(0, 4000);

    ::kill(server->id(), SIGTERM);
    EXPECT_EQ(server->waitForExit(3000), 0);
    EXPECT_EQ(logCount("USB server: refused " + std::to_string(flood + 1) + " more connections of user 65534 in the last "),
              1)
        << log().substr(0, 4000);
    EXPECT_EQ(logCount("refused"), 2) << log().substr(0, 4000);
}

// A connection whose peer sent its request and closed before the server
// came to it is gone by then: the kernel lists the peer's closed socket
// without a user, which must not pass for root. The server is stopped until
// the kernel lists the peer's socket so, so that it always comes too late.
TEST_F(UsbServerProgram, CarriesOutNothingForAPeerThatClosedBeforeItsTurn) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the server and its clients as other users";
    writeDevices(device("1-1", 1, 2, "Gadget"));
    ::chmod(dir.file("devices.json").c_str(), 0644);
    start({"--devices", dir.file("devices.json"), "--log", dir.file("vhserver.log")}, std::vector<std::string>{});
    // Stopped, the server accepts nothing; the kernel still completes the
    // peer's connection and keeps its request.
    ASSERT_TRUE(pauseProcess(static_cast<std::uint32_t>(server->id()), 5000));
    const std::string sent = sendAndCloseAs(65534, port, {"BIND 1-1"});
    ASSERT_EQ(sent.rfind("sent from port ", 0), 0u) << sent;
    ASSERT_TRUE(waitForOwnerlessClose(std::stoi(sent.substr(15)), 5000, port));
    ::kill(server->id(), SIGCONT);

    // The server takes its connections in turn: once a later one is
    // answered, the peer's was taken. A connection served would have
    // carried out its request at once; the owner's device stays exported.
    LineClient owner(port);
    EXPECT_EQ(owner.request("STATUS"), "OK desk");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    do {
        ASSERT_EQ(owner.devices(), "1-1=1");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < deadline);
}
