#include "UsbServer.h"

#include "Logging.h"

#include <Poco/Exception.h>
#include <Poco/JSON/Object.h>
#include <Poco/Net/SocketAddress.h>

#include <sstream>

namespace {

// Error codes of "ERR <code> <text>" replies.
constexpr int unknownCommand = 1;
constexpr int deviceNotFound = 2;
constexpr int badRequest = 4;

std::string error(int code, const std::string& text) { return "ERR " + std::to_string(code) + " " + text; }

} // namespace

UsbServer::UsbServer(UsbServerDevices& devices, std::string serverName)
    : devices_(devices), serverName_(std::move(serverName)) {}

UsbServer::~UsbServer() { stop(); }

std::string UsbServer::handleLine(const std::string& line, Session& session) {
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
        reply.set("RemoteClients", remoteClients());
        std::ostringstream text;
        reply.stringify(text);
        return "OK " + text.str();
    }
    if (command == "QUIT") {
        session.close = true;
        return "OK";
    }
    if (command == "HELLO") {
        if (!session.remote) {
            session.remote = true;
            ++remoteClients_;
            logInformation("USB server: remote client '" + argument + "' connected");
        }
        devices_.list(fixtureName);
        return "OK " + (fixtureName.empty() ? serverName_ : fixtureName);
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
        listener_.bind(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port)), true, false);
        listener_.listen(64);
    } catch (const Poco::Exception& e) {
        error = e.displayText();
        return false;
    }
    acceptor_ = std::thread([this] { acceptConnections(); });
    return true;
}

void UsbServer::stop() {
    if (stopping_.exchange(true)) return;
    if (acceptor_.joinable()) acceptor_.join();
    std::lock_guard<std::mutex> guard(connectionsLock_);
    for (auto& connection : connections_) connection->thread.join();
    connections_.clear();
    listener_.close();
}

void UsbServer::acceptConnections() {
    while (!stopping_.load()) {
        {
            // Collect the connections that ended.
            std::lock_guard<std::mutex> guard(connectionsLock_);
            for (auto it = connections_.begin(); it != connections_.end();) {
                if (!(*it)->done.load()) {
                    ++it;
                    continue;
                }
                (*it)->thread.join();
                it = connections_.erase(it);
            }
        }
        try {
            if (!listener_.poll(Poco::Timespan(0, 250000), Poco::Net::Socket::SELECT_READ)) continue;
            // The connection's thread holds the only reference to its socket.
            auto* socket = new Poco::Net::StreamSocket(listener_.acceptConnection());
            std::lock_guard<std::mutex> guard(connectionsLock_);
            connections_.push_back(std::make_unique<Connection>());
            Connection* connection = connections_.back().get();
            connection->thread = std::thread([this, socket, connection] { serve(socket, connection); });
        } catch (const Poco::Exception& e) {
            logWarning("USB server: can't accept a connection: " + e.displayText());
        }
    }
}

void UsbServer::serve(Poco::Net::StreamSocket* socket, Connection* connection) {
    std::unique_ptr<Poco::Net::StreamSocket> owned(socket);
    Session session;
    std::string buffer;
    char chunk[1024];
    try {
        while (!stopping_.load()) {
            if (!socket->poll(Poco::Timespan(1, 0), Poco::Net::Socket::SELECT_READ)) continue;
            const int count = socket->receiveBytes(chunk, sizeof chunk);
            if (count <= 0) break;
            buffer.append(chunk, static_cast<std::size_t>(count));
            std::size_t end;
            while (!session.close && (end = buffer.find('\n')) != std::string::npos) {
                std::string line = buffer.substr(0, end);
                buffer.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (!sendLine(*socket, handleLine(line, session))) session.close = true;
            }
            if (session.close) break;
            if (buffer.size() > maxLineLength) {
                sendLine(*socket, error(badRequest, "Line too long"));
                break;
            }
        }
    } catch (const Poco::Exception& e) {
        if (isDebugEnabled()) logDebug("USB server: connection ended: " + e.displayText());
    }
    owned.reset();
    if (session.remote) {
        --remoteClients_;
        logInformation("USB server: a remote client disconnected");
    }
    connection->done.store(true);
}

bool UsbServer::sendLine(Poco::Net::StreamSocket& socket, const std::string& reply) {
    const std::string line = reply + "\n";
    std::size_t sent = 0;
    while (sent < line.size()) {
        const int count = socket.sendBytes(line.data() + sent, static_cast<int>(line.size() - sent));
        if (count <= 0) return false;
        sent += static_cast<std::size_t>(count);
    }
    return true;
}
