// The client's USB support as the user who runs it, for the tests whose
// client must be another user than the test (the daemon serves only the
// members of its group): it launches the daemon as start-up does,
// registers a connection whose USB tunnel is up, runs the poll ticks with
// the page's list and connect requests after the second, and prints what
// it logged and what it sent, a line each:
//   log <priority> <text>
//   page <json>
//   server <json>
// and "done" at its end.
// Usage: usb_support_driver TICKS
#include "Logging.h"
#include "NativeClientVHSupport.h"
#include "NativeClientVHThread.h"
#include "QorMessage.h"
#include "UsbControlMessages.h"
#include "UsbServerConnection.h"
#include "VHSupport.h"

#include <Poco/AutoPtr.h>
#include <Poco/Channel.h>
#include <Poco/Logger.h>
#include <Poco/Message.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace {

std::mutex outputLock;

void printLine(const std::string& line) {
    std::lock_guard<std::mutex> guard(outputLock);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

class PrintingChannel : public Poco::Channel {
public:
    void log(const Poco::Message& message) override {
        printLine("log " + std::to_string(static_cast<int>(message.getPriority())) + " " + message.getText());
    }
};

class PrintingConnection : public qor::UsbServerConnection {
public:
    void sendCtrl(const std::string& json, const std::string&, bool) override { printLine("server " + json); }
    bool updateWebClient(const std::string& text, bool) override {
        printLine("page " + text);
        return true;
    }
    bool usbTunnelUp() const override { return true; }
    bool usbTunnelComing() const override { return false; }
};

} // namespace

int main(int argc, char** argv) {
    const int ticks = argc > 1 ? std::atoi(argv[1]) : 4;
    Poco::AutoPtr<PrintingChannel> channel(new PrintingChannel);
    Poco::Logger::root().setChannel(channel);
    Poco::Logger::root().setLevel("debug");
    createClientLogger();
    Poco::Logger::get("QOR").setChannel(channel);
    Poco::Logger::get("QOR").setLevel("debug");

    vhIntegrationEnabled.store(true);
    launchVHProxy();
    PrintingConnection connection;
    RegisterServerProxy(&connection);
    signalTunnelStarted();
    for (int tick = 1; tick <= ticks; ++tick) {
        qor::NativeClientVHThread::pollOnce(static_cast<std::uint64_t>(tick));
        if (tick == 2) {
            handleVHRequest(QorMessage("{\"type\":324}"));
            handleVHRequest(QorMessage("{\"type\":326,\"VHDevAddress\":\"1.1\"}"));
        }
    }
    UnregisterServerProxy();
    printLine("done");
    return 0;
}
