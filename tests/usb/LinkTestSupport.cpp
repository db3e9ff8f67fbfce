#include "LinkTestSupport.h"

#include <Poco/JSON/Array.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

std::vector<std::string> asOrdinaryUser(const std::vector<std::string>& command) {
    std::vector<std::string> all{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    all.insert(all.end(), command.begin(), command.end());
    return all;
}

namespace {

// Whether every thread of the process is stopped (false when it has none).
bool allThreadsStopped(std::uint32_t processId) {
    const std::string tasks = "/proc/" + std::to_string(processId) + "/task/";
    DIR* dir = ::opendir(tasks.c_str());
    if (dir == nullptr) return false;
    int threads = 0;
    bool stopped = true;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream file(tasks + entry->d_name + "/stat");
        std::string line;
        const std::string::size_type close = std::getline(file, line) ? line.rfind(')') : std::string::npos;
        ++threads;
        if (close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'T') stopped = false;
    }
    ::closedir(dir);
    return threads > 0 && stopped;
}

} // namespace

bool pauseProcess(std::uint32_t processId, int timeoutMs) {
    if (::kill(static_cast<pid_t>(processId), SIGSTOP) != 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!allThreadsStopped(processId)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool waitForTcpRow(const std::function<bool(const TcpRow&)>& matches, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::ifstream table("/proc/net/tcp");
        std::string line;
        std::getline(table, line);
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, timer, retransmits;
            TcpRow row;
            fields >> slot >> row.own >> row.peer >> row.state >> row.queues >> timer >> retransmits >> row.uid;
            if (matches(row)) return true;
        }
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool waitForOwnerlessClose(int port, int timeoutMs, int serverPort) {
    char local[32], remote[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", port);
    std::snprintf(remote, sizeof remote, "0100007F:%04X", serverPort);
    return waitForTcpRow(
        [&](const TcpRow& row) {
            return row.own == local && row.peer == remote && (row.state == "05" || row.state == "06") && row.uid == "0";
        },
        timeoutMs);
}

bool linkPortOpen() {
    try {
        Poco::Net::StreamSocket socket;
        socket.connect(Poco::Net::SocketAddress("127.0.0.1", 7679), Poco::Timespan(200000));
        return true;
    } catch (...) {
        return false;
    }
}

bool waitForLinkPort(bool open, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (linkPortOpen() != open) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string requestAs(unsigned int userId, const std::string& text, bool sendAndClose) {
    const std::string id = std::to_string(userId);
    std::vector<std::string> command{"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups",
                                     debianPython(), testSourcePath("usb/link_client.py")};
    if (sendAndClose) command.push_back("--send-and-close");
    command.push_back(text);
    return runToEnd(command);
}

const char* const privatePasswd = "root:x:0:0:root:/root:/bin/sh\n"
                                  "alice:x:2001:46:Alice:/nonexistent:/usr/sbin/nologin\n"
                                  "bob:x:2002:2002:Bob:/nonexistent:/usr/sbin/nologin\n"
                                  "carol:x:2003:2003:Carol:/nonexistent:/usr/sbin/nologin\n"
                                  "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n";
const char* const privateGroup = "root:x:0:\n"
                                 "plugdev:x:46:bob\n"
                                 "bob:x:2002:\n"
                                 "carol:x:2003:\n"
                                 "nogroup:x:65534:\n";

const std::string twoDevices =
    "{\"VHSvrName\":\"desk-7\",\"VHDevList\":["
    "{\"VHDevAddress\":\"1.1\",\"VHDevVendorId\":1133,\"VHDevProductId\":49271,\"VHDevPath\":\"1-1\","
    "\"VHDevPrettyName\":\"Optical Mouse\",\"VHDevState\":1,\"VHDevEnabled\":1},"
    "{\"VHDevAddress\":\"1.2\",\"VHDevVendorId\":1921,\"VHDevProductId\":21889,\"VHDevPath\":\"1-2\","
    "\"VHDevPrettyName\":\"Flash Drive\",\"VHDevState\":2,\"VHDevEnabled\":1}]}";

FakeDaemon::FakeDaemon(const std::string& mode, bool ordinaryUser) {
    ::chmod(dir_.path().c_str(), 0755);
    setMode(mode);
    std::vector<std::string> command{debianPython(), testSourcePath("usb/fake_daemon.py"), dir_.file("mode")};
    if (ordinaryUser) command = asOrdinaryUser(command);
    const std::string program = command.front();
    command.erase(command.begin());
    process_.reset(new PeerProcess(program, command));
    std::string rest;
    if (!process_->waitForLine("listening", rest, 20000))
        throw std::runtime_error("the fake daemon did not start: " + process_->output());
}

void FakeDaemon::setMode(const std::string& mode) {
    writeTextFile(dir_.file("mode"), mode);
    ::chmod(dir_.file("mode").c_str(), 0644);
}

DaemonProcess::DaemonProcess(const std::string& devicesFile, const std::vector<std::string>& extra,
                             const std::string& program, const std::vector<std::string>& launcher) {
    std::vector<std::string> arguments{"--service", "--logFile=" + dir_.file("vhproxy.log")};
    if (!devicesFile.empty()) arguments.push_back("--devices=" + devicesFile);
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    std::string run = program;
    if (!launcher.empty()) {
        arguments.insert(arguments.begin(), program);
        arguments.insert(arguments.begin(), launcher.begin() + 1, launcher.end());
        run = launcher.front();
    }
    command_.setCaptureErrorOutput(true);
    output_ = command_.runCommandStream("test", run, arguments);
    if (output_ == nullptr) throw std::runtime_error("can't start " + program);
    if (!waitForLinkPort(true, 20000)) throw std::runtime_error("the daemon does not listen: " + log());
}

std::string DaemonProcess::log() const { return readTextFile(dir_.file("vhproxy.log")); }

DaemonProcess::~DaemonProcess() {
    const int code = stop();
    if (code != 0) {
        std::string errors;
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, output_)) > 0) errors.append(buffer, n);
        ADD_FAILURE() << "the daemon ended with " << code << ": " << errors;
    }
}

int DaemonProcess::stop() {
    if (stopped_) return exitCode_;
    stopped_ = true;
    ::kill(static_cast<pid_t>(command_.processId()), SIGTERM);
    if (command_.waitForExit(10000)) exitCode_ = static_cast<int>(command_.exitCode());
    return exitCode_;
}

std::string runToEnd(const std::vector<std::string>& command, int* exitCode) {
    CommandProcess process;
    process.setCaptureErrorOutput(true);
    std::vector<std::string> arguments(command.begin() + 1, command.end());
    if (!process.runCommandWait("test", command.front(), arguments, true, 120000))
        throw std::runtime_error("can't run " + command.front());
    if (exitCode != nullptr) *exitCode = process.exitCodeKnown() ? static_cast<int>(process.exitCode()) : -1;
    return process.output();
}

std::string usbDeviceJson(const std::string& address, int vendorId, int productId, const std::string& name) {
    return "{\"VHDevAddress\":\"" + address + "\",\"VHDevVendorId\":" + std::to_string(vendorId) +
           ",\"VHDevProductId\":" + std::to_string(productId) + ",\"VHDevPrettyName\":\"" + name +
           "\",\"VHDevPath\":\"/sys/bus/usb/devices/" + address + "\"}";
}

std::string states(const QorMessage& reply) {
    if (!reply.hasMember("VHDevList")) return "<no list>";
    const Poco::JSON::Array::Ptr list = reply.getMember("VHDevList").extract<Poco::JSON::Array::Ptr>();
    std::string text;
    for (std::size_t i = 0; i < list->size(); ++i) {
        const Poco::JSON::Object::Ptr d = list->getObject(static_cast<unsigned int>(i));
        text += (text.empty() ? "" : " ") + d->getValue<std::string>("VHDevAddress") + "=" +
                std::to_string(d->getValue<int>("VHDevState"));
    }
    return text;
}
