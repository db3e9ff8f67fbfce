// Requests to the daemon vhproxy as local users send them over its link:
// the input is what one or more connections send (split at "|next|", at
// most eight, all to one daemon so that a connect can follow the tunnel
// notice), each byte for byte, the frame's length included. Each goes over
// a real loopback connection whose frame the daemon's reader takes, then to
// its connection handler, both on this thread, and the answer is read to
// the end. The daemon runs as root
// and answers other users: whatever they send, it must not crash or hang,
// and what it answers is one frame whose text is a JSON object.
#include "FuzzSupport.h"
#include "PendingRequest.h"
#include "VHProxyConnection.h"
#include "VHProxyDaemon.h"

#include <Poco/Exception.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Timespan.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

namespace {

constexpr std::size_t MAX_CONNECTIONS = 8;

// The device list of the daemon's tests: two devices of one server.
const char* const twoDevices =
    "{\"VHSvrName\":\"desk-7\",\"VHDevList\":["
    "{\"VHDevAddress\":\"1.1\",\"VHDevVendorId\":1133,\"VHDevProductId\":49271,\"VHDevPath\":\"1-1\","
    "\"VHDevPrettyName\":\"Optical Mouse\",\"VHDevState\":1,\"VHDevEnabled\":1},"
    "{\"VHDevAddress\":\"1.2\",\"VHDevVendorId\":1921,\"VHDevProductId\":21889,\"VHDevPath\":\"1-2\","
    "\"VHDevPrettyName\":\"Flash Drive\",\"VHDevState\":2,\"VHDevEnabled\":1}]}";

Poco::Net::ServerSocket* listener = nullptr;
std::string devicesPath;

// What came back must be one frame holding a JSON object, or nothing.
void checkAnswer(const std::string& answer, const std::string& sent) {
    if (answer.empty()) return;
    std::uint32_t length = 0;
    for (std::size_t i = 0; i < 4 && i < answer.size(); ++i)
        length |= static_cast<std::uint32_t>(static_cast<unsigned char>(answer[i])) << (8 * i);
    if (answer.size() < 4 || length != answer.size() - 4)
        fuzz::fail("the answer to '" + sent + "' is no whole frame (" + std::to_string(answer.size()) + " bytes)");
    try {
        Poco::JSON::Parser parser;
        if (parser.parse(answer.substr(4)).type() == typeid(Poco::JSON::Object::Ptr)) return;
    } catch (const Poco::Exception&) {
    }
    fuzz::fail("the answer to '" + sent + "' is no JSON object: " + answer.substr(4));
}

void exchange(VHProxyDaemon& daemon, const std::string& sent) {
    Poco::Net::StreamSocket client;
    client.connect(listener->address());
    Poco::Net::StreamSocket accepted = listener->acceptConnection();
    for (std::size_t done = 0; done < sent.size();)
        done += static_cast<std::size_t>(client.sendBytes(sent.data() + done, static_cast<int>(sent.size() - done)));
    client.shutdownSend();
    // The listener's reading of the frame, then its worker's exchange as
    // with a user the daemon answers (this process's end is half closed,
    // which the daemon's peer check would refuse).
    PendingRequest pending(accepted, 0, PendingRequest::Clock::now() + std::chrono::seconds(10),
                           VHProxyDaemon::maxRequestLength);
    std::string reason;
    PendingRequest::Progress progress;
    while ((progress = pending.read(reason)) == PendingRequest::Progress::Waiting) {
        if (PendingRequest::Clock::now() > pending.deadline()) fuzz::fail("the request of '" + sent + "' never came");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (progress == PendingRequest::Progress::Complete) {
        accepted.setBlocking(true);
        VHProxyConnection connection(accepted, daemon, pending.request(), 0);
        connection.run();
    }
    accepted.close();
    std::string answer;
    client.setReceiveTimeout(Poco::Timespan(10, 0));
    char buffer[4096];
    try {
        for (int n; (n = client.receiveBytes(buffer, sizeof(buffer))) > 0;) answer.append(buffer, static_cast<std::size_t>(n));
    } catch (const Poco::TimeoutException&) {
        fuzz::fail("the daemon's connection stayed open after it had run");
    } catch (const Poco::Exception&) {
        // A reset: the daemon closed without reading everything.
    }
    checkAnswer(answer, sent);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The harness's sockets stay out of the machine's socket table.
    fuzz::useOwnNetwork();
    fuzz::discardLogs("trace");
    devicesPath = fuzz::scratchDirectory() + "/devices.json";
    std::ofstream(devicesPath) << twoDevices;
    listener = new Poco::Net::ServerSocket(Poco::Net::SocketAddress("127.0.0.1", 0), 64);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    DaemonOptions options;
    options.devicesPath = devicesPath;
    VHProxyDaemon daemon(options);
    for (const std::string& sent : fuzz::splitInput(data, size, "|next|", MAX_CONNECTIONS)) exchange(daemon, sent);
    return 0;
}
