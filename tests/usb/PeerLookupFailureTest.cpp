// The USB server and the daemon serve a connection only once they know who
// holds its other end. When the kernel cannot be asked (here its socket
// diagnostics are taken away from the server's process, as a sandbox
// without netlink would; running out of descriptors does the same), a
// connection even of root is refused and nothing it asked for is carried
// out. The same request is carried out by a server that can ask.
#include "LinkTestSupport.h"
#include "PeerProcess.h"
#include "QorMessage.h"
#include "TestPaths.h"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <string>
#include <vector>

namespace {

// What came of a request that changes a device's state.
struct Outcome {
    std::string reply;   // as the client saw it
    bool answered;       // a reply that carries the request's result
    bool carriedOut;     // the device's state changed
};

// The USB server, as root; a BIND over its line protocol.
Outcome bindAtUsbServer(const std::vector<std::string>& launcher) {
    TempDir dir;
    writeTextFile(dir.file("devices.json"),
                  "{\"VHSvrName\":\"desk\",\"VHDevList\":[" + usbDeviceJson("1-1", 1, 2, "Gadget") + "]}");
    const int port = freeLoopbackPort();
    std::vector<std::string> command = launcher;
    command.insert(command.end(), {USB_SERVER_PROGRAM, "--port", std::to_string(port), "--devices",
                                   dir.file("devices.json"), "--log", dir.file("vhserver.log")});
    const std::string program = command.front();
    command.erase(command.begin());
    PeerProcess server(program, command);
    std::string rest;
    if (!server.waitForLine("qdvhwin64: listening on 127.0.0.1:", rest, 10000))
        return {"<no server> " + server.output(), false, false};
    std::string reply = runToEnd({debianPython(), testSourcePath("usb/line_client.py"), std::to_string(port),
                                  "BIND 1-1"});
    while (!reply.empty() && reply.back() == '\n') reply.pop_back();
    ::kill(server.id(), SIGTERM);
    server.waitForExit(3000);
    // Each request gets one reply line: a reply is the only sign of it.
    return {reply, reply.rfind("OK ", 0) == 0, reply == "OK 3"};
}

// The daemon, as root, with its device list; a connect request.
Outcome bindAtDaemon(const std::vector<std::string>& launcher) {
    TempDir dir;
    writeTextFile(dir.file("devices.json"), twoDevices);
    DaemonProcess daemon(dir.file("devices.json"), {}, VHPROXY_PROGRAM, launcher);
    std::string reply = requestAs(0, "{\"type\":326,\"VHDevAddress\":\"1.1\",\"VHDevPrettyName\":\"Optical Mouse\"}");
    while (!reply.empty() && reply.back() == '\n') reply.pop_back();
    const QorMessage message(reply);
    // A refusal, if the daemon answers one, carries an error.
    const bool answered = !message.isEmpty() && message.getInt("VHErrType") == 0;
    return {reply, answered, daemon.log().find("Bind requested for 1.1") != std::string::npos};
}

} // namespace

TEST(PeerLookupFailure, ConnectionIsRefusedWhenItsOwnerCannotBeFound) {
    ASSERT_EQ(::geteuid(), 0u) << "the servers serve root: the test's requests pass where the lookup works";
    const struct {
        const char* server;
        std::function<Outcome(const std::vector<std::string>&)> bind;
    } servers[] = {
        {"USB server", bindAtUsbServer},
        {"daemon", bindAtDaemon},
    };
    for (const auto& s : servers) {
        for (const bool lookupFails : {false, true}) {
            SCOPED_TRACE(std::string(s.server) + (lookupFails ? ", lookup failing" : ", lookup working"));
            const std::vector<std::string> launcher =
                lookupFails ? std::vector<std::string>{WITHOUT_SOCKET_DIAGNOSTICS} : std::vector<std::string>{};
            const Outcome outcome = s.bind(launcher);
            EXPECT_EQ(outcome.answered, !lookupFails) << outcome.reply;
            EXPECT_EQ(outcome.carriedOut, !lookupFails) << outcome.reply;
        }
    }
}
