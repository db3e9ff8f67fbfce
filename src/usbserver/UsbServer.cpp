#include "UsbServer.h"

#include "Logging.h"
#include "ServerPlatform.h"
#include "TcpPeerIdentity.h"

#include <Poco/Exception.h>
#include <Poco/JSON/Object.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/SocketDefs.h>
#include <Poco/Net/SocketImpl.h>

#include <chrono>
#include <sstream>
#include <system_error>

namespace {

// Error codes of "ERR <code> <text>" replies.
constexpr int unknownCommand = 1;
constexpr int deviceNotFound = 2;
constexpr int badRequest = 4;

std::string error(int code, const std::string& text) { return "ERR " + std::to_string(code) + " " + text; }

Poco::Timespan sendTimeout() { return Poco::Timespan(static_cast<long>(UsbServer::sendTimeoutMs) * 1000); }

// A send that waited out the socket's send time-out: POCO reports it as
// a time-out, or (1.11) as the system's "would block".
bool sendTimedOut(const Poco::Exception& e) {
    if (dynamic_cast<const Poco::TimeoutException*>(&e) != nullptr) return true;
    return e.code() == POCO_EAGAIN || e.code() == POCO_EWOULDBLOCK || e.code() == POCO_ETIMEDOUT;
}

std::string peerText(const Poco::Net::StreamSocket& socket) {
    try {
        return socket.peerAddress().toString();
    } catch (const Poco::Exception&) {
        return "a peer gone";
    }
}

} // namespace

UsbServer::UsbServer(UsbServerDevices& devices, std::string serverName)
    : devices_(devices), serverName_(std::move(serverName)), ownUserId_(processUserId()) {}

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

bool UsbServer::listen(int port, std::string& error) {
    try {
        listener_.bind(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port)), true, false);
        listener_.listen(64);
    } catch (const Poco::Exception& e) {
        error = e.displayText();
        return false;
    }
    return true;
}

bool UsbServer::serve(std::string& error) {
    try {
        acceptor_ = std::thread([this] { acceptConnections(); });
    } catch (const std::system_error& e) {
        error = std::string("can't start the accepting thread: ") + e.what();
        return false;
    }
    return true;
}

void UsbServer::stop() {
    if (stopping_.exchange(true)) return;
    wakeBlockedAccept(listener_);
    {
        std::lock_guard<std::mutex> guard(connectionsLock_);
        connectionEnded_.notify_all(); // a paused acceptor
    }
    if (acceptor_.joinable()) acceptor_.join();
    reportRefusals(true);
    {
        // A thread waiting for a request, or for its peer to take a reply,
        // returns at once.
        std::lock_guard<std::mutex> guard(connectionsLock_);
        for (auto& connection : connections_) {
            if (connection->done) continue;
            try {
                connection->socket.shutdown();
            } catch (const Poco::Exception&) {
                // not connected any more: its thread is ending anyway
            }
        }
    }
    // No lock: each thread takes it at its end.
    for (auto& connection : connections_) connection->thread.join();
    connections_.clear();
    listener_.close();
}

void UsbServer::acceptConnections() {
    std::uint64_t times = 0;
    while (!stopping_.load()) {
        collectEndedConnections();
        Poco::Net::StreamSocket socket;
        try {
            // Blocks; stop wakes it. No poll before: POCO's needs a
            // descriptor of its own, which is what may be missing.
            socket = listener_.acceptConnection();
        } catch (const Poco::Exception& e) {
            if (stopping_.load()) break;
            // Out of descriptors, most likely: accepting again at once would
            // fail again at once.
            if (acceptFailure_.met())
                logWarning("USB server: can't accept connections, " + e.displayText() +
                           "; accepting paused until a connection ends");
            pauseAccepting();
            continue;
        }
        if (stopping_.load()) break;
        reportRefusals(false);
        // A socket not served closes as it goes out of scope: its peer sees
        // the connection end at once.
        if (!admit(socket)) continue;
        if (acceptFailure_.over(times)) logInformation("USB server: accepting connections again");
        startConnection(socket);
    }
}

bool UsbServer::admit(Poco::Net::StreamSocket& socket) {
    TcpPeerIdentity peer;
    std::string reason;
    TcpPeerLookup lookup = TcpPeerLookup::Failed;
    try {
        lookup = tcpConnectingPeer(socket, peer, reason);
    } catch (const Poco::Exception& e) {
        reason = e.displayText();
    }
    switch (lookup) {
    case TcpPeerLookup::Found:
        if (peer.userId == 0 || peer.userId == ownUserId_) return true;
        if (refusals_.refused(peer.userId))
            logWarning("USB server: refused a connection of user " + std::to_string(peer.userId) + " from " +
                       peerText(socket) + ": it serves only user " + std::to_string(ownUserId_) + " and root");
        return false;
    case TcpPeerLookup::Gone:
        if (isDebugEnabled()) logDebug("USB server: a connection ended before it was served: " + reason);
        return false;
    case TcpPeerLookup::Failed: break;
    }
    // Most likely no descriptor left to ask the kernel with: as when the
    // accept itself fails for want of one.
    if (acceptFailure_.met())
        logWarning("USB server: can't tell who connects, " + reason + "; accepting paused until a connection ends");
    pauseAccepting();
    return false;
}

void UsbServer::reportRefusals(bool all) {
    for (const PeerRefusalReport::Summary& summary : refusals_.summaries(all))
        logWarning("USB server: refused " + summary.text());
}

bool UsbServer::startConnection(const Poco::Net::StreamSocket& socket) {
    auto connection = std::make_unique<Connection>();
    connection->socket = socket;
    Connection* const served = connection.get();
    std::lock_guard<std::mutex> guard(connectionsLock_);
    try {
        served->thread = std::thread([this, served] { serve(served); });
    } catch (const std::system_error& e) {
        if (threadShortage_.met())
            logWarning(std::string("USB server: can't start a thread for a connection (") + e.what() +
                       "); refusing connections until threads can start again");
        return false;
    }
    connections_.push_back(std::move(connection));
    std::uint64_t refused = 0;
    if (threadShortage_.over(refused))
        logInformation("USB server: serving connections again, " + std::to_string(refused) + " refused meanwhile");
    return true;
}

void UsbServer::collectEndedConnections() {
    std::list<std::unique_ptr<Connection>> ended;
    {
        std::lock_guard<std::mutex> guard(connectionsLock_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            auto next = std::next(it);
            if ((*it)->done) ended.splice(ended.end(), connections_, it);
            it = next;
        }
    }
    for (auto& connection : ended) connection->thread.join();
}

void UsbServer::pauseAccepting() {
    std::unique_lock<std::mutex> lock(connectionsLock_);
    const std::uint64_t ended = endedConnections_;
    connectionEnded_.wait_for(lock, std::chrono::milliseconds(acceptPauseMs),
                              [&] { return stopping_.load() || endedConnections_ != ended; });
}

void UsbServer::serve(Connection* connection) {
    Poco::Net::StreamSocket& socket = connection->socket;
    Session session;
    std::string buffer;
    char chunk[1024];
    try {
        socket.setSendTimeout(sendTimeout());
        for (;;) {
            // Blocks until the peer sends or closes, or stop shuts the
            // connection down.
            const int count = socket.receiveBytes(chunk, sizeof chunk);
            if (count <= 0) break;
            buffer.append(chunk, static_cast<std::size_t>(count));
            std::size_t end;
            while (!session.close && (end = buffer.find('\n')) != std::string::npos) {
                std::string line = buffer.substr(0, end);
                buffer.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (!sendLine(socket, handleLine(line, session))) session.close = true;
            }
            if (session.close) break;
            if (buffer.size() > maxLineLength) {
                sendLine(socket, error(badRequest, "Line too long"));
                break;
            }
        }
    } catch (const Poco::Exception& e) {
        if (isDebugEnabled()) logDebug("USB server: connection ended: " + e.displayText());
    }
    if (session.remote) {
        --remoteClients_;
        logInformation("USB server: a remote client disconnected");
    }
    endConnection(connection);
}

void UsbServer::endConnection(Connection* connection) {
    std::lock_guard<std::mutex> guard(connectionsLock_);
    try {
        connection->socket.close();
    } catch (const Poco::Exception&) {
    }
    connection->done = true;
    ++endedConnections_;
    connectionEnded_.notify_all();
}

bool UsbServer::sendLine(Poco::Net::StreamSocket& socket, const std::string& reply) {
    const std::string line = reply + "\n";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(sendTimeoutMs);
    std::size_t sent = 0;
    bool shortened = false;
    try {
        while (sent < line.size()) {
            if (sent > 0) {
                // A send that waited out part of the time and took part of
                // the line: the rest has what is left of the time.
                const auto left =
                    std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0) throw Poco::TimeoutException();
                socket.setSendTimeout(Poco::Timespan(left.count()));
                shortened = true;
            }
            // One send call: the stream socket's own sendBytes sends again
            // after a partial send, with the whole time-out each time.
            const int count = socket.impl()->Poco::Net::SocketImpl::sendBytes(
                line.data() + sent, static_cast<int>(line.size() - sent));
            if (count <= 0) return false;
            sent += static_cast<std::size_t>(count);
        }
    } catch (const Poco::Exception& e) {
        if (!sendTimedOut(e)) throw;
        logInformation("USB server: closed the connection of " + peerText(socket) + ", which took no reply for " +
                       std::to_string(sendTimeoutMs) + " ms");
        return false;
    }
    if (shortened) socket.setSendTimeout(sendTimeout());
    return true;
}
