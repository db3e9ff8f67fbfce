#include "UsbRemoteClient.h"

#include <Poco/Exception.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/SocketAddress.h>

#include <chrono>
#include <cstring>

namespace {

// Device states of the USB server's list.
constexpr int kBindRequested = 3;
constexpr int kReleaseRequested = 4;
// The USB server's error code for an address it has no device at.
const char* const kNoSuchDevice = "ERR 2 ";

std::string describe(const std::string& address, const std::string& name) {
    return "'" + name + "' (" + address + ")";
}

}  // namespace

UsbRemoteClient::UsbRemoteClient(std::string tunnelName, int tunnelPort, Report report)
    : tunnelName_(std::move(tunnelName)), tunnelPort_(tunnelPort), report_(std::move(report)) {
    thread_ = std::thread([this] { run(); });
}

UsbRemoteClient::~UsbRemoteClient() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    // A request under way sees the stop within a quarter of a second.
    thread_.join();
    disconnect();
}

void UsbRemoteClient::connect() { post({Job::Connect, "", ""}); }

void UsbRemoteClient::attach(const std::string& address, const std::string& name) {
    post({Job::Attach, address, name});
}

void UsbRemoteClient::detach(const std::string& address, const std::string& name) {
    post({Job::Detach, address, name});
}

void UsbRemoteClient::catchUp() { post({Job::CatchUp, "", ""}); }

void UsbRemoteClient::post(Job job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    changed_.notify_all();
}

void UsbRemoteClient::run() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
            if (stopping_) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        carryOut(job);
    }
}

void UsbRemoteClient::carryOut(const Job& job) {
    switch (job.kind) {
        case Job::Connect:
            ensureConnected();
            break;
        case Job::Attach:
            bindOrRelease(true, job.address, job.name);
            break;
        case Job::Detach:
            bindOrRelease(false, job.address, job.name);
            break;
        case Job::CatchUp: {
            if (!ensureConnected()) return;
            std::string reply;
            if (!request("LIST", reply)) return;
            if (reply.compare(0, 3, "OK ") != 0) {
                report_("remote USB client: the USB server refused LIST: " + reply, true);
                return;
            }
            try {
                Poco::JSON::Parser parser;
                const Poco::JSON::Array::Ptr devices =
                    parser.parse(reply.substr(3)).extract<Poco::JSON::Object::Ptr>()->getArray("VHDevList");
                for (std::size_t i = 0; devices && i < devices->size(); ++i) {
                    const Poco::JSON::Object::Ptr device = devices->getObject(static_cast<unsigned int>(i));
                    const int state = device->optValue<int>("VHDevState", 0);
                    if (state == kBindRequested || state == kReleaseRequested)
                        bindOrRelease(state == kBindRequested, device->optValue<std::string>("VHDevAddress", ""),
                                      device->optValue<std::string>("VHDevPrettyName", ""));
                }
            } catch (const Poco::Exception& e) {
                report_("remote USB client: unreadable device list from the USB server: " + e.displayText(), true);
            }
            break;
        }
    }
}

bool UsbRemoteClient::ensureConnected() {
    if (connected_) return true;
    try {
        socket_ = Poco::Net::StreamSocket();
        socket_.connect(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(tunnelPort_)),
                        Poco::Timespan(2, 0));
        socket_.setNoDelay(true);
        connected_ = true;
        received_.clear();
    } catch (const Poco::Exception& e) {
        report_("remote USB client: can't reach the tunnel " + tunnelName_ + ": " + e.displayText(), true);
        return false;
    }
    std::string reply;
    if (!request("HELLO demo-server", reply)) return false;
    if (reply.compare(0, 3, "OK ") != 0) {
        report_("remote USB client: the USB server refused HELLO: " + reply, true);
        disconnect();
        return false;
    }
    serverName_ = reply.substr(3);
    report_("remote USB client connected to USB server '" + serverName_ + "' through " + tunnelName_, false);
    return true;
}

bool UsbRemoteClient::request(const std::string& line, std::string& reply) {
    try {
        const std::string text = line + "\n";
        for (std::size_t sent = 0; sent < text.size();) {
            const int n = socket_.sendBytes(text.data() + sent, static_cast<int>(text.size() - sent));
            if (n <= 0) throw Poco::IOException("the connection is closed");
            sent += static_cast<std::size_t>(n);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(replyTimeoutMs);
        std::size_t end;
        while ((end = received_.find('\n')) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline -
                                                                                   std::chrono::steady_clock::now());
            if (left.count() <= 0) throw Poco::TimeoutException("no reply within " + std::to_string(replyTimeoutMs) + " ms");
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (stopping_) throw Poco::IOException("stopping");
            }
            if (!socket_.poll(Poco::Timespan(std::min<long long>(left.count(), 250000)), Poco::Net::Socket::SELECT_READ))
                continue;
            char chunk[4096];
            const int n = socket_.receiveBytes(chunk, sizeof chunk);
            if (n <= 0) throw Poco::IOException("the USB server or the tunnel closed the connection");
            received_.append(chunk, static_cast<std::size_t>(n));
        }
        reply = received_.substr(0, end);
        received_.erase(0, end + 1);
        if (!reply.empty() && reply.back() == '\r') reply.pop_back();
        return true;
    } catch (const Poco::Exception& e) {
        report_("remote USB client: " + line + ": " + e.displayText(), true);
        disconnect();
        return false;
    }
}

void UsbRemoteClient::disconnect() {
    if (!connected_) return;
    connected_ = false;
    try {
        socket_.close();
    } catch (const Poco::Exception&) {
    }
}

void UsbRemoteClient::bindOrRelease(bool bind, const std::string& address, const std::string& name) {
    if (!ensureConnected()) return;
    std::string reply;
    if (!request((bind ? "ATTACH " : "DETACH ") + address, reply)) return;
    if (reply.compare(0, 2, "OK") == 0) {
        report_(std::string("remote USB client ") + (bind ? "bound " : "released ") + describe(address, name), false);
    } else if (!bind && reply.compare(0, std::strlen(kNoSuchDevice), kNoSuchDevice) == 0) {
        // Unplugged: the device left the remote machine with it.
        report_("remote USB client: " + describe(address, name) + " is gone from the USB server, nothing to release",
                false);
    } else {
        // "ERR <code> <text>": the text is the reason.
        const std::string::size_type text = reply.find(' ', 4);
        report_(std::string("remote USB client can't ") + (bind ? "bind " : "release ") + describe(address, name) +
                    ": " + (text == std::string::npos ? reply : reply.substr(text + 1)),
                true);
    }
}
