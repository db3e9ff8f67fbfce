#include "UsbEndToEndFixture.h"

#include "CanvasRegistry.h"
#include "QorCanvasListEntry.h"
#include "QorMessage.h"
#include "ServerConnectionValues.h"
#include "StreamDecoder.h"
#include "VHProxyLink.h"
#include "VHSupport.h"

#include "ClientSettings.h"
#include "StartClient.h"

#include <Poco/File.h>

#include <unistd.h>

#include <Poco/JSON/Array.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include <cstdio>

using namespace qor;

void UsbEndToEnd::SetUp() {
    writeDevices({usbDeviceJson("1-1", 0x46d, 0xc077, "USB Optical Mouse"), usbDeviceJson("1-2", 0x781, 0x5567, "Cruzer Blade")});
    writeTextFile(files.file("vhserver.cnf"), "TCPPort=" + std::to_string(usbPort) + "\nServerName=desk-9\n");
}

void UsbEndToEnd::TearDown() {
    if (relay) relay->stop();
    stopNativeClient();
    if (bridgeStarted) bridge.stopBridgeServer();
    vhIntegrationEnabled.store(false);
    clientVirtualHereServerPort.set(17570);
    ScopedOwnerLock guard(canvasRegistryLock);
    for (auto& entry : canvasRegistry) delete entry.second;
    canvasRegistry.clear();
}

void UsbEndToEnd::writeDevices(const std::vector<std::string>& devices) {
    std::string list;
    for (const auto& device : devices) list += (list.empty() ? "" : ",") + device;
    writeTextFile(files.file("devices.new"), "{\"VHDevList\":[" + list + "]}");
    std::rename(files.file("devices.new").c_str(), files.file("devices.json").c_str());
}

void UsbEndToEnd::startUsbServer() {
    usbServer = std::make_unique<PeerProcess>(
        USB_SERVER_PROGRAM,
        std::vector<std::string>{"--config", files.file("vhserver.cnf"), "--devices", files.file("devices.json")});
    std::string rest;
    ASSERT_TRUE(usbServer->waitForLine("qdvhwin64: listening on 127.0.0.1:", rest, 10000)) << usbServer->output();
}

void UsbEndToEnd::startClientProgram(const std::string& settings) {
    ::setenv("HOME", home.path().c_str(), 1);
    ::setenv("SHELL", "/bin/sh", 1);
    ::unsetenv("XDG_STATE_HOME");
    // Installed as root installs it: the daemon's registration refuses a
    // program that others could change.
    services = std::make_unique<ServiceRoot>();
    programDir = services->programFolder();
    Poco::File(USB_MODULE_FILE).copyTo(programDir + "libVirtualHereServer.so");
    ASSERT_EQ(::symlink(USB_SERVER_PROGRAM, (programDir + "qdvhwin64").c_str()), 0);
    // The USB server's configuration in the user's folder, as an earlier run
    // left it with the device file added; the client's settings set the
    // rest: the default port unless settings give another.
    usbPort = 17570;
    const std::string userFiles = home.file(".local/state/quarrydesk-client");
    Poco::File(userFiles).createDirectories();
    writeTextFile(userFiles + "/vhserver.cnf", "TCPPort=17999\nDeviceFixture=" + files.file("devices.json") + "\n");
    writeTextFile(home.file("qdk-client.xml"), "<config><Client><VirtualHere><ServerName>desk-9</ServerName>" +
                                                   settings + "</VirtualHere></Client></config>");
    services->registerService();
    std::vector<std::string> arguments{programDir + "quarrydesk-client", "--logLevel=debug"};
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    ASSERT_TRUE(startClient("Quarrydesk Client 14.0.0 started with PID 1", "qdk-client", programDir,
                            static_cast<int>(arguments.size()), argv.data()));
    // The start-up set up the client's own log: the test reads its lines.
    log.reset();
    log = std::make_unique<LogCapture>("debug");
}

void UsbEndToEnd::startDemo(const std::vector<std::string>& serverOptions, bool guest) {
    static const bool registered = StreamDecoder::registerDecoders();
    ASSERT_TRUE(registered);
    if (programDir.empty()) {
        // Without the client's start-up: the connection alone.
        clientVirtualHereServerPort.set(usbPort);
        vhIntegrationEnabled.store(true);
    }
    server = startServer(ServerSetup(false, "", 1, serverOptions));
    peer = std::make_unique<DemoPeer>(*server, "");
    if (guest) {
        ASSERT_TRUE(peer->signInAsGuest("guest"));
        pageSocket = peer->openPageSocket();
        auto hello = receiveJson(*pageSocket);
        ASSERT_TRUE(hello);
        clientId = hello->getValue<std::string>("clientId");
    } else {
        clientId = openDesk(*peer, pageSocket);
    }
    ASSERT_FALSE(clientId.empty());
    serverIsSecure.store(false);
    serverPort.store(server->port());
    setSessionCookieValue(peer->sessionId());
    setServerPathPrefix("");
    NativeClient::instance()->setCsrfToken(peer->csrfToken());
    setCurrentServerUrl("127.0.0.1");
    ASSERT_TRUE(addCanvas(&canvas));
    NativeClient::instance()->start(-1);
    ASSERT_TRUE(bridge.startBridgeServer(NativeClient::instance()));
    bridgeStarted = true;
    openBridge();
}

void UsbEndToEnd::openBridge() {
    bridgeOpenedAt = std::chrono::steady_clock::now();
    renewBridgeNonce();
    bridgePage.reset(connectPocoWebSocket("127.0.0.1", bridgePort.load(), "/ws/free/" + clientId + "/" + bridgeNonce()));
    relay = std::make_unique<PageRelay>(*pageSocket, *bridgePage);
    ASSERT_TRUE(eventually([&] { return relay->clientMessages("\"type\":960") == 1; }, 30000)) << server->log();
}

void UsbEndToEnd::closeBridge() {
    relay->stop();
    bridgePage->close();
}

bool UsbEndToEnd::waitForUsbTunnel(int timeoutMs) {
    const bool up = pageGot("usb", "USB tunnel VHTun-", timeoutMs);
    if (!up) ADD_FAILURE() << "no USB tunnel\n" << server->log() << "\n---- client\n" << clientLog();
    return up;
}

std::string UsbEndToEnd::clientLog() const {
    std::string text;
    if (!programDir.empty()) text = readTextFile(home.file("quarrydesk-client.log")) + "---- (captured)\n";
    for (const std::string& line : log->texts()) text += line + "\n";
    return text;
}

bool UsbEndToEnd::pageGot(const std::string& kind, const std::string& fragment, int timeoutMs) {
    return eventually([&] { return relay->count(kind, fragment) > 0; }, timeoutMs);
}

std::string UsbEndToEnd::usbServerLine(const std::string& line) {
    try {
        Poco::Net::StreamSocket socket(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(usbPort)));
        socket.setReceiveTimeout(Poco::Timespan(5, 0));
        const std::string text = line + "\n";
        socket.sendBytes(text.data(), static_cast<int>(text.size()));
        std::string reply;
        char c = 0;
        while (socket.receiveBytes(&c, 1) == 1 && c != '\n') reply += c;
        return reply;
    } catch (const Poco::Exception& e) {
        return "<" + e.displayText() + ">";
    }
}

std::string UsbEndToEnd::usbServerStates() {
    const std::string reply = usbServerLine("LIST");
    if (reply.compare(0, 3, "OK ") != 0) return "<" + reply + ">";
    Poco::JSON::Object::Ptr list = Poco::JSON::Parser().parse(reply.substr(3)).extract<Poco::JSON::Object::Ptr>();
    Poco::JSON::Array::Ptr devices = list->getArray("VHDevList");
    std::string text;
    for (std::size_t i = 0; i < devices->size(); ++i) {
        Poco::JSON::Object::Ptr d = devices->getObject(static_cast<unsigned int>(i));
        text += d->getValue<std::string>("VHDevAddress") + "=" + std::to_string(d->getValue<int>("VHDevState")) + " ";
    }
    return text + "clients=" + std::to_string(list->getValue<int>("RemoteClients"));
}

int UsbEndToEnd::daemonListCode() {
    std::string reply;
    if (!vhProxyRequest("{\"type\":324}", reply, true)) return -1;
    return QorMessage(reply).getInt("VHErrCode");
}
