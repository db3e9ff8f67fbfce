#include "UsbServer.h"

#include "Logging.h"

#include <Poco/Exception.h>
#include <Poco/JSON/Object.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Net/TCPServerConnection.h>
#include <Poco/Net/TCPServerConnectionFactory.h>
#include <Poco/Net/TCPServerParams.h>

#include <sstream>

namespace {

// Error codes of "ERR <code> <text>" replies.
constexpr int unknownCommand = 1;
constexpr int deviceNotFound = 2;
constexpr int badRequest = 4;

std::string error(int code, const std::string& text) { return "ERR " + std::to_string(code) + " " + text; }

class Connection : public Poco::Net::TCPServerConnection {
public:
    Connection(const Poco::Net::StreamSocket& socket, UsbServer& server)
        : Poco::Net::TCPServerConnection(socket), server_(server) {}

    void run() override {
        Poco::Net::StreamSocket& peer = socket();
        std::string buffer;
        char chunk[1024];
        try {
            for (;;) {
                if (server_.stopping()) return;
                if (!peer.poll(Poco::Timespan(1, 0), Poco::Net::Socket::SELECT_READ)) continue;
                const int count = peer.receiveBytes(chunk, sizeof chunk);
                if (count <= 0) return;
                buffer.append(chunk, static_cast<std::size_t>(count));
                std::size_t end;
                while ((end = buffer.find('\n')) != std::string::npos) {
                    std::string line = buffer.substr(0, end);
                    buffer.erase(0, end + 1);
                    if (!line.empty() && line.back() == '\r') line.pop_back();
                    bool close = false;
                    if (!send(server_.handleLine(line, close)) || close) return;
                }
                if (buffer.size() > UsbServer::maxLineLength) {
                    send(error(badRequest, "Line too long"));
                    return;
                }
            }
        } catch (const Poco::Exception& e) {
            if (isDebugEnabled()) logDebug("USB server: connection ended: " + e.displayText());
        }
    }

private:
    bool send(const std::string& reply) {
        const std::string line = reply + "\n";
        std::size_t sent = 0;
        while (sent < line.size()) {
            const int count = socket().sendBytes(line.data() + sent, static_cast<int>(line.size() - sent));
            if (count <= 0) return false;
            sent += static_cast<std::size_t>(count);
        }
        return true;
    }

    UsbServer& server_;
};

class ConnectionFactory : public Poco::Net::TCPServerConnectionFactory {
public:
    explicit ConnectionFactory(UsbServer& server) : server_(server) {}
    Poco::Net::TCPServerConnection* createConnection(const Poco::Net::StreamSocket& socket) override {
        return new Connection(socket, server_);
    }

private:
    UsbServer& server_;
};

} // namespace

UsbServer::UsbServer(UsbServerDevices& devices, std::string serverName)
    : devices_(devices), serverName_(std::move(serverName)) {}

UsbServer::~UsbServer() { stop(); }

std::string UsbServer::handleLine(const std::string& line, bool& close) {
    const std::size_t blank = line.find(' ');
    const std::string command = line.substr(0, blank);
    const std::string argument = blank == std::string::npos ? "" : line.substr(blank + 1);
    std::string fixtureName;
    if (command == "STATUS") {
        devices_.list(fixtureName);
        return "OK " + (fixtureName.empty() ? serverName_ : fixtureName);
    }
    if (command == "LIST") {
        Poco::JSON::Array::Ptr list = devices_.list(fixtureName);
        Poco::JSON::Object reply;
        reply.set("VHSvrName", fixtureName.empty() ? serverName_ : fixtureName);
        reply.set("VHDevList", list);
        std::ostringstream text;
        reply.stringify(text);
        return "OK " + text.str();
    }
    if (command == "QUIT") {
        close = true;
        return "OK";
    }
    UsbServerDevices::Request request;
    if (command == "BIND") request = UsbServerDevices::Request::Bind;
    else if (command == "RELEASE") request = UsbServerDevices::Request::Release;
    else if (command == "ATTACH") request = UsbServerDevices::Request::Attach;
    else if (command == "DETACH") request = UsbServerDevices::Request::Detach;
    else return error(unknownCommand, "Unknown command: " + command);
    if (argument.empty()) return error(badRequest, "Device address missing");
    std::int32_t state = 0;
    if (!devices_.apply(argument, request, state)) return error(deviceNotFound, "Device not found: " + argument);
    return "OK " + std::to_string(state);
}

bool UsbServer::start(int port, std::string& error) {
    try {
        Poco::Net::ServerSocket socket;
        socket.bind(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port)), true, false);
        socket.listen(64);
        Poco::Net::TCPServerParams::Ptr params = new Poco::Net::TCPServerParams;
        params->setMaxThreads(32);
        params->setMaxQueued(32);
        server_ = std::make_unique<Poco::Net::TCPServer>(new ConnectionFactory(*this), socket, params);
        server_->start();
        return true;
    } catch (const Poco::Exception& e) {
        error = e.displayText();
        return false;
    }
}

void UsbServer::stop() {
    stopping_.store(true);
    if (server_) {
        server_->stop();
        server_.reset();
    }
}
