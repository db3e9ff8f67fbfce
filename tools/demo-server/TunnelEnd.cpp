#include "TunnelEnd.h"

#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>

#include <sys/socket.h>

using Poco::Net::WebSocket;

namespace {

constexpr std::uint32_t kData = 0;
constexpr std::uint32_t kOpen = 1;
constexpr std::uint32_t kClose = 2;
constexpr int kHeader = 8;

void putUInt32(char* target, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) target[i] = static_cast<char>((value >> (8 * i)) & 0xffu);
}

std::uint32_t getUInt32(const char* source) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(source[0])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(source[1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(source[2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(source[3])) << 24;
}

// Wakes a thread blocked on the socket without closing the descriptor.
void shutDown(const Poco::Net::Socket& socket) {
    const int fd = socket.impl()->sockfd();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

}  // namespace

TunnelEnd::TunnelEnd(WebSocket& socket, int type, std::string name, int localPort, Poco::Logger& logger)
    : socket_(socket), type_(type), name_(std::move(name)), localPort_(localPort), logger_(logger) {}

TunnelEnd::~TunnelEnd() {
    stopping_ = true;
    if (listener_) shutDown(*listener_);
    if (acceptor_.joinable()) acceptor_.join();
    closeAll();
}

bool TunnelEnd::listen() {
    try {
        listener_ = std::make_unique<Poco::Net::ServerSocket>();
        listener_->bind(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(localPort_)), true, false);
        listener_->listen(64);
        listenPort_ = listener_->address().port();
    } catch (const Poco::Exception& e) {
        logger_.error("Tunnel " + name_ + ": cannot listen on 127.0.0.1:" + std::to_string(localPort_) + ": " +
                      e.displayText());
        listener_.reset();
        return false;
    }
    return true;
}

void TunnelEnd::run(const std::function<bool()>& keepGoing) {
    if (listener_) acceptor_ = std::thread([this] { acceptLoop(); });
    std::vector<char> buffer(MAX_FRAME);
    socket_.setMaxPayloadSize(MAX_FRAME);
    try {
        while (keepGoing()) {
            // Bytes that TLS has read already are not seen by the poll.
            if (socket_.available() <= 0 && !socket_.poll(Poco::Timespan(0, 250000), Poco::Net::Socket::SELECT_READ))
                continue;
            int flags = 0;
            const int n = socket_.receiveFrame(buffer.data(), MAX_FRAME, flags);
            const int opcode = flags & WebSocket::FRAME_OP_BITMASK;
            if (opcode == WebSocket::FRAME_OP_CLOSE || (n == 0 && flags == 0)) {
                logger_.information("Tunnel " + name_ + ": the client closed the tunnel");
                break;
            }
            if (opcode == WebSocket::FRAME_OP_PING) {
                sendFrame(buffer.data(), n, WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_PONG);
                continue;
            }
            if (opcode != WebSocket::FRAME_OP_BINARY || !(flags & WebSocket::FRAME_FLAG_FIN)) {
                logger_.warning("Tunnel " + name_ + ": ignoring a message that is not one binary frame");
                continue;
            }
            handleFrame(buffer.data(), n);
        }
    } catch (const Poco::Exception& e) {
        logger_.notice("Tunnel " + name_ + ": " + e.displayText());
    }
    stopping_ = true;
    if (listener_) shutDown(*listener_);
    if (acceptor_.joinable()) acceptor_.join();
    closeAll();
}

void TunnelEnd::acceptLoop() {
    while (!stopping_) {
        Poco::Net::StreamSocket accepted;
        try {
            accepted = listener_->acceptConnection();
        } catch (const Poco::Exception& e) {
            if (stopping_) return;
            logger_.warning("Tunnel " + name_ + ": accept failed: " + e.displayText());
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        std::uint32_t id = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            id = nextId_++;
        }
        logger_.debug("Tunnel " + name_ + ": connection " + std::to_string(id) + " from " +
                      accepted.peerAddress().toString());
        // The OPEN goes before any DATA of the connection.
        if (!sendCommand(kOpen, id)) return;
        addConnection(id, accepted);
    }
}

void TunnelEnd::addConnection(std::uint32_t id, const Poco::Net::StreamSocket& socket) {
    reapFinished();
    auto connection = std::make_shared<Connection>();
    connection->socket = socket;
    connection->socket.setNoDelay(true);
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
        connection->socket.close();
        return;
    }
    connections_[id] = connection;
    connection->reader = std::thread([this, id, connection] { readLocal(id, connection); });
}

void TunnelEnd::readLocal(std::uint32_t id, std::shared_ptr<Connection> connection) {
    // Read behind room for the header: the frame is built in place.
    std::vector<char> frame(kHeader + MAX_READ);
    putUInt32(frame.data(), kData);
    putUInt32(frame.data() + 4, id);
    for (;;) {
        int n = 0;
        try {
            n = connection->socket.receiveBytes(frame.data() + kHeader, MAX_READ);
        } catch (const Poco::Exception&) {
            n = 0;
        }
        if (n <= 0) break;
        if (!sendFrame(frame.data(), n + kHeader)) return;
    }
    if (!connection->closedByClient && !stopping_) sendCommand(kClose, id);
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = connections_.find(id);
    if (found != connections_.end() && found->second == connection) {
        connections_.erase(found);
        finished_.push_back(connection);
    }
}

void TunnelEnd::handleFrame(const char* frame, int length) {
    if (length < kHeader) {
        logger_.warning("Tunnel " + name_ + ": ignoring a frame of " + std::to_string(length) + " bytes");
        return;
    }
    const std::uint32_t type = getUInt32(frame);
    const std::uint32_t id = getUInt32(frame + 4);
    switch (type) {
        case kData: {
            auto connection = find(id);
            if (!connection) return;
            try {
                connection->socket.sendBytes(frame + kHeader, length - kHeader);
            } catch (const Poco::Exception&) {
                // The local side went away; its reader reports the CLOSE.
                shutDown(connection->socket);
            }
            break;
        }
        case kOpen:
            openForClient(id);
            break;
        case kClose:
            closeForClient(id);
            break;
        default:
            break;
    }
}

void TunnelEnd::openForClient(std::uint32_t id) {
    if (type_ != 1) {
        logger_.warning("Tunnel " + name_ + ": OPEN " + std::to_string(id) + " on a tunnel of type 0, refused");
        sendCommand(kClose, id);
        return;
    }
    try {
        Poco::Net::StreamSocket socket;
        socket.connect(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(localPort_)),
                       Poco::Timespan(2, 0));
        logger_.debug("Tunnel " + name_ + ": connection " + std::to_string(id) + " to 127.0.0.1:" +
                      std::to_string(localPort_));
        addConnection(id, socket);
    } catch (const Poco::Exception& e) {
        logger_.notice("Tunnel " + name_ + ": cannot connect " + std::to_string(id) + " to 127.0.0.1:" +
                       std::to_string(localPort_) + ": " + e.displayText());
        sendCommand(kClose, id);
    }
}

void TunnelEnd::closeForClient(std::uint32_t id) {
    auto connection = find(id);
    if (!connection) return;
    connection->closedByClient = true;
    // The reader sees the end and retires the connection.
    shutDown(connection->socket);
}

bool TunnelEnd::sendFrame(const char* frame, int length, int flags) {
    std::unique_lock<std::mutex> lock(sendMutex_);
    const std::uint64_t ticket = nextTicket_++;
    sendTurn_.wait(lock, [&] { return serving_ == ticket; });
    lock.unlock();
    bool sent = false;
    try {
        sent = socket_.sendFrame(frame, length, flags) == length;
    } catch (const Poco::Exception& e) {
        logger_.notice("Tunnel " + name_ + ": sending to the client failed: " + e.displayText());
        shutDown(socket_);
    }
    lock.lock();
    ++serving_;
    lock.unlock();
    sendTurn_.notify_all();
    return sent;
}

bool TunnelEnd::sendCommand(std::uint32_t type, std::uint32_t id) {
    char frame[kHeader];
    putUInt32(frame, type);
    putUInt32(frame + 4, id);
    return sendFrame(frame, kHeader);
}

void TunnelEnd::reapFinished() {
    std::vector<std::shared_ptr<Connection>> done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done.swap(finished_);
    }
    for (auto& connection : done) {
        if (connection->reader.joinable()) connection->reader.join();
        connection->socket.close();
    }
}

std::shared_ptr<TunnelEnd::Connection> TunnelEnd::find(std::uint32_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = connections_.find(id);
    return found == connections_.end() ? nullptr : found->second;
}

void TunnelEnd::closeAll() {
    std::vector<std::shared_ptr<Connection>> all;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        for (auto& entry : connections_) all.push_back(entry.second);
        connections_.clear();
        for (auto& connection : finished_) all.push_back(connection);
        finished_.clear();
    }
    for (auto& connection : all) shutDown(connection->socket);
    for (auto& connection : all) {
        if (connection->reader.joinable()) connection->reader.join();
        try {
            connection->socket.close();
        } catch (const Poco::Exception&) {
        }
    }
}
