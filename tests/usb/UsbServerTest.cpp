// The USB server program qdvhwin64 through its line protocol: the device
// list, bind and release from this machine's side, attach and detach from
// the remote side, unplugging (the device file rewritten), devices of a
// made-up USB tree, bad requests, several connections, and its start and end.
#include "PeerProcess.h"
#include "TestPaths.h"
#include "UsbTreeFixture.h"

#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>
#include <cstdio>
#include <memory>
#include <string>

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
    void start(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--port", std::to_string(port)});
        server = std::make_unique<PeerProcess>(USB_SERVER_PROGRAM, arguments);
        std::string rest;
        ASSERT_TRUE(server->waitForLine("qdvhwin64: listening on 127.0.0.1:", rest, 10000)) << server->output();
        EXPECT_EQ(rest, std::to_string(port));
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
