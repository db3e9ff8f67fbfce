#include "QorTunnelInterface.h"

#include "QorWebSocket.h"
#include "TunnelConnection.h"
#include "TunnelLog.h"
#include "TunnelPlatform.h"
#include "Utilities.h"

#include <Poco/Exception.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Net/WebSocket.h>
#include <Poco/Thread.h>
#include <Poco/Timespan.h>

#include <algorithm>
#include <exception>
#include <limits>
#include <vector>

namespace qor {

namespace {

using Poco::Net::Socket;

void putUInt32(char* target, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) target[i] = static_cast<char>((value >> (8 * i)) & 0xffu);
}

std::uint32_t getUInt32(const char* source) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(source[i]);
    return value;
}

void putHeader(char* frame, std::uint32_t type, std::int32_t id) {
    putUInt32(frame, type);
    putUInt32(frame + 4, static_cast<std::uint32_t>(id));
}

bool contains(const Socket::SocketList& list, const Socket& socket) {
    return std::find(list.begin(), list.end(), socket) != list.end();
}

// The text of an exception that ended a call, for log lines.
std::string currentExceptionText() {
    try {
        throw;
    } catch (Poco::TimeoutException* e) {
        // QorWebSocket reports a receive time-out by pointer.
        std::string text = e->displayText();
        delete e;
        return text;
    } catch (const Poco::Exception& e) {
        return e.displayText();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

// The room for one frame from the peer: the longest message we accept, and
// behind it room for a control frame (at most 125 bytes) that the peer
// sends between two fragments of a message that has nearly reached it.
constexpr int CONTROL_FRAME_ROOM = 125;
constexpr int FRAME_BUFFER_SIZE = TunnelFrame::MAX_RECEIVED_FRAME + CONTROL_FRAME_ROOM;

// One send or receive on a non-blocking local socket: the byte count, or -1
// when the call would have had to wait. Failures are raised.
int sendSome(Poco::Net::StreamSocket& socket, const char* data, int length) {
    try {
        return socket.sendBytes(data, length);
    } catch (const Poco::Exception& e) {
        if (isWouldBlock(e.code())) return -1;
        throw;
    }
}

int receiveSome(Poco::Net::StreamSocket& socket, char* buffer, int length) {
    try {
        return socket.receiveBytes(buffer, length);
    } catch (const Poco::Exception& e) {
        if (isWouldBlock(e.code())) return -1;
        throw;
    }
}

} // namespace

struct QorTunnelInterface::PollLists {
    Socket peer;
    Socket::SocketList read;
    Socket::SocketList write;
    Socket::SocketList except;
};

QorTunnelInterface::QorTunnelInterface(std::string clientId, std::string name, int kind, int localPort,
                                       QorWebSocket* webSocket)
    : QorThread(false), name_(std::move(name)), localPort_(localPort), webSocket_(webSocket),
      clientId_(std::move(clientId)), kind_(kind) {
    ignoreBrokenPipe();
    setName(name_);
}

QorTunnelInterface::~QorTunnelInterface() {
    finishThread();
    {
        ScopedOwnerLock guard(queueLock_);
        pendingRemovals_.clear();
    }
    releaseConnections();
    if (webSocket_ != nullptr) {
        if (tunnelDebugEnabled()) tunnelDebug(prefix() + "Shutting down tunnel connection to " + webSocket_->peerHost());
        try {
            // The close frame must not wait for a peer that stopped reading.
            if (!webSocket_->isClosed()) webSocket_->setSendTimeout(STOP_GRACE_MS);
            webSocket_->close(false);
        } catch (...) {
            // The socket is closed all the same.
        }
    }
    tunnelDebug(prefix() + "Peer socket is shutdown");
    delete webSocket_;
    webSocket_ = nullptr;
}

void QorTunnelInterface::finishThread() {
    if (threadFinished_) return;
    threadFinished_ = true;
    ownerStopping_.store(true);
    tunnelDebug(prefix() + "QorTunnelInterface getting deleted");
    const std::int32_t current = state();
    if (current == ThreadState::STARTING || current == ThreadState::RUNNING) stop(false, false);
    if (!started()) return;
    if (!join(STOP_GRACE_MS, false)) {
        tunnelLog(TunnelLogLevel::WARNING,
                  prefix() + "Tunnel thread does not stop, shutting the connection to the peer down");
        if (webSocket_ != nullptr) {
            try {
                forceSocketDown(*webSocket_->socket());
            } catch (...) {
            }
        }
        join(-1, false);
    }
}

void QorTunnelInterface::scheduleAddConnection(TunnelConnection* connection) {
    ScopedOwnerLock guard(queueLock_);
    const std::int32_t current = state();
    if (current == ThreadState::STARTING || current == ThreadState::RUNNING) {
        // The count that the tunnel thread keeps, and those on their way.
        if (atConnectionLimit(static_cast<std::size_t>(connectionCount_.load()) + pendingAdds_.size())) {
            if (tunnelDebugEnabled()) tunnelDebug(prefix() + "Closing local connection " + connection->idText());
            delete connection;
            return;
        }
        if (tunnelDebugEnabled()) tunnelDebug(prefix() + "Scheduling connection " + connection->idText() + " to be added");
        pendingAdds_.push_back(connection);
        return;
    }
    if (tunnelDebugEnabled())
        tunnelDebug(prefix() + "Shutting down, not scheduling connection " + connection->idText() + " to be added");
    delete connection;
}

void QorTunnelInterface::scheduleRemoveConnection(std::int32_t id) {
    ScopedOwnerLock guard(queueLock_);
    const std::int32_t current = state();
    if (current == ThreadState::STARTING || current == ThreadState::RUNNING) {
        if (tunnelDebugEnabled())
            tunnelDebug(prefix() + "Scheduling connection " + connectionIdText(id) + " to be removed");
        pendingRemovals_.push_back(id);
        return;
    }
    if (tunnelDebugEnabled())
        tunnelDebug(prefix() + "Shutting down, not scheduling connection " + connectionIdText(id) + " to be removed");
}

void QorTunnelInterface::sendTunnelCommand(std::uint32_t type, std::int32_t id) {
    // Nothing goes to a peer that is gone.
    if (peerLost_) return;
    char frame[TunnelFrame::HEADER_SIZE];
    putHeader(frame, type, id);
    if (tunnelDebugEnabled()) {
        std::string what = type == TunnelFrame::OPEN    ? "open"
                           : type == TunnelFrame::CLOSE ? "close"
                                                        : std::to_string(type);
        tunnelDebug(prefix() + "Sending " + what + " to peer, connection " + connectionIdText(id));
    }
    int sent = -1;
    try {
        sent = webSocket_->sendBinary(frame, TunnelFrame::HEADER_SIZE);
    } catch (...) {
        tunnelLog(TunnelLogLevel::ERROR, prefix() + "Sending to peer failed: " + currentExceptionText());
    }
    if (sent != TunnelFrame::HEADER_SIZE) {
        tunnelLog(TunnelLogLevel::ERROR, prefix() + "Can't send packet to peer, exiting ...");
        loseThePeer();
    }
}

void QorTunnelInterface::eventLoop() { forwardLoop(); }

void QorTunnelInterface::forwardLoop() {
    tunnelDebug(prefix() + "Started");
    frameBuffer_.reset(new char[FRAME_BUFFER_SIZE]);
    lists_.reset(new PollLists);
    lists_->peer = *webSocket_->socket();
    bool shortageLogged = false;
    while (state() == ThreadState::RUNNING) {
        applyQueuedChanges();
        connectionCount_.store(static_cast<int>(connections_.size()));
        refreshUnsent();
        buildPollLists();
        // Bytes that TLS or the handshake's reader already took off the
        // socket are not seen by the poll: do not wait when they are there.
        const bool peerPending = !peerReadsPaused_ && peerHasBytes();
        int ready = 0;
        try {
            ready = Socket::select(lists_->read, lists_->write, lists_->except,
                                   Poco::Timespan(peerPending ? 0 : pollTimeoutUs()));
            shortageLogged = false;
        } catch (const Poco::Exception& e) {
            // The poll needs a descriptor of its own: out of descriptors,
            // the tunnel waits for some to come free rather than end.
            if (isResourceShortage(e.code())) {
                if (!shortageLogged)
                    tunnelLog(TunnelLogLevel::ERROR,
                              prefix() + "Select on sockets failed " + e.displayText() + ", retrying ...");
                shortageLogged = true;
                // A connect under way is judged without a descriptor, and
                // times out meanwhile.
                serveConnects();
                Poco::Thread::sleep(POLL_TIMEOUT_US / 1000);
                continue;
            }
            tunnelLog(TunnelLogLevel::ERROR, prefix() + "Select on sockets failed " + e.displayText() + ", exiting ...");
            loseThePeer();
            break;
        } catch (...) {
            tunnelLog(TunnelLogLevel::ERROR,
                      prefix() + "Select on sockets failed " + currentExceptionText() + ", exiting ...");
            loseThePeer();
            break;
        }
        if (state() != ThreadState::RUNNING) break;
        if (peerPending && !contains(lists_->read, lists_->peer)) lists_->read.push_back(lists_->peer);
        serveConnects();
        serveExceptional(ready);
        serveWritable();
        serveReadable();
    }
    if (peerLost_) {
        closeLostPeer();
        finishLocalWrites();
    }
    // Whatever ended the loop, nobody can reach the local connections any
    // more: close them now rather than when the owner deletes the tunnel.
    releaseConnections();
    connectionCount_.store(0);
    lists_.reset();
    frameBuffer_.reset();
    tunnelDebug(prefix() + "Shutdown done");
}

void QorTunnelInterface::finishLocalWrites() {
    // The peer has gone, but what it sent before still reaches the
    // applications (a last answer before it closed, say), unless the owner
    // ends the tunnel first or they do not take it in time.
    const std::int64_t deadline = monotonicMillis() + FINAL_WRITE_MS;
    Socket::SocketList none;
    while (!ownerStopping_.load()) {
        PollLists& lists = *lists_;
        lists.write.clear();
        lists.except.clear();
        connectsUnderWay_ = 0;
        std::size_t waiting = 0;
        for (TunnelConnection* connection : connections_) {
            if (connection->pending.empty()) continue;
            if (connection->connecting) ++connectsUnderWay_;
            waiting += connection->pending.size();
            lists.write.push_back(connection->socket);
            lists.except.push_back(connection->socket);
        }
        const std::int64_t leftMs = deadline - monotonicMillis();
        if (waiting == 0) return;
        if (leftMs <= 0) {
            tunnelLog(TunnelLogLevel::NOTICE, prefix() + "Dropping " + std::to_string(waiting) +
                                                  " bytes that local applications did not take");
            return;
        }
        none.clear();
        try {
            Socket::select(none, lists.write, lists.except,
                           Poco::Timespan(std::min<std::int64_t>(POLL_TIMEOUT_US, leftMs * 1000)));
        } catch (...) {
            return;
        }
        serveConnects();
        // A write may end its connection: take the list first.
        std::vector<TunnelConnection*> writable;
        for (TunnelConnection* connection : connections_)
            if (!connection->connecting && !connection->pending.empty()) writable.push_back(connection);
        for (TunnelConnection* connection : writable) writePending(*connection);
    }
}

void QorTunnelInterface::applyQueuedChanges() {
    std::deque<TunnelConnection*> adds;
    {
        ScopedOwnerLock guard(queueLock_);
        removeQueuedConnections();
        adds.swap(pendingAdds_);
        // Counted from now on, so that the listener never sees fewer
        // connections than the tunnel holds.
        connectionCount_.store(static_cast<int>(connections_.size() + adds.size()));
    }
    // The OPEN frames go out without the lock: a send can wait on a busy
    // peer, and the listener must go on accepting meanwhile, or its short
    // backlog fills and the system drops the connections that wait in it.
    for (TunnelConnection* connection : adds) {
        if (tunnelDebugEnabled()) tunnelDebug(prefix() + "Adding connection " + connection->idText());
        sendTunnelCommand(TunnelFrame::OPEN, connection->id);
        connections_.push_front(connection);
    }
}

void QorTunnelInterface::removeQueuedConnections() {
    while (!pendingRemovals_.empty()) {
        const std::int32_t id = pendingRemovals_.front();
        pendingRemovals_.pop_front();
        TunnelConnection* connection = findConnection(id);
        if (connection == nullptr) continue;
        if (tunnelDebugEnabled()) tunnelDebug(prefix() + "Removing connection " + connectionIdText(id));
        retireConnection(connection);
    }
}

void QorTunnelInterface::buildPollLists() {
    PollLists& lists = *lists_;
    lists.read.clear();
    lists.write.clear();
    lists.except.clear();
    // While local applications have as much waiting as the bounds allow,
    // the peer's frames stay in the socket: TCP holds the peer back.
    if (!peerReadsPaused_) lists.read.push_back(lists.peer);
    lists.except.push_back(lists.peer);
    connectsUnderWay_ = 0;
    for (TunnelConnection* connection : connections_) {
        lists.except.push_back(connection->socket);
        if (connection->connecting) {
            ++connectsUnderWay_;
            lists.write.push_back(connection->socket);
            continue;
        }
        if (!connection->pending.empty()) lists.write.push_back(connection->socket);
        // After CLOSE nothing more is forwarded from the application.
        if (!connection->closing) lists.read.push_back(connection->socket);
    }
}

long QorTunnelInterface::pollTimeoutUs() const {
    const long timeout = totalOverBound_ && unsentTotal_ > 0 ? UNSENT_POLL_TIMEOUT_US : POLL_TIMEOUT_US;
    if (connectsUnderWay_ == 0) return timeout;
    std::int64_t earliest = std::numeric_limits<std::int64_t>::max();
    for (const TunnelConnection* connection : connections_)
        if (connection->connecting) earliest = std::min(earliest, connection->connectDeadline);
    const std::int64_t leftMs = earliest - monotonicMillis();
    if (leftMs <= 0) return 0;
    return static_cast<long>(std::min<std::int64_t>(timeout, (leftMs + 1) * 1000));
}

void QorTunnelInterface::serveConnects() {
    if (connectsUnderWay_ == 0) return;
    std::vector<TunnelConnection*> underWay;
    for (TunnelConnection* connection : connections_)
        if (connection->connecting) underWay.push_back(connection);
    for (TunnelConnection* connection : underWay) settleConnect(*connection);
}

void QorTunnelInterface::settleConnect(TunnelConnection& connection) {
    switch (connectProgress(connection.socket)) {
    case ConnectProgress::CONNECT_UNDER_WAY:
        if (monotonicMillis() < connection.connectDeadline) return;
        failConnect(connection);
        return;
    case ConnectProgress::CONNECT_FAILED:
        failConnect(connection);
        return;
    case ConnectProgress::CONNECT_DONE:
        break;
    }
    connection.connecting = false;
    try {
        connection.socket.setNoDelay(true);
    } catch (const Poco::Exception&) {
        // Only the latency of small writes suffers.
    }
    if (tunnelDebugEnabled())
        tunnelDebug(prefix() + "Connected " + connection.idText() + " to local socket " + localAddress().toString());
    // What the peer sent meanwhile goes when the pass serves the writable
    // sockets.
}

Poco::Net::SocketAddress QorTunnelInterface::localAddress() const {
    return Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(localPort_));
}

void QorTunnelInterface::reportConnectFailure() const {
    tunnelLog(TunnelLogLevel::NOTICE, prefix() + "Can't connect locally to server (" + localAddress().toString() + ")");
}

void QorTunnelInterface::failConnect(TunnelConnection& connection) {
    reportConnectFailure();
    // A connection that the peer closed meanwhile is no longer its to hear of.
    if (!connection.closing) sendTunnelCommand(TunnelFrame::CLOSE, connection.id);
    destroyConnectionNow(&connection);
}

void QorTunnelInterface::serveExceptional(int readyCount) {
    int index = 0;
    for (const Socket& socket : lists_->except) {
        if (tunnelDebugEnabled())
            tunnelDebug(prefix() + "Select returned exception " + std::to_string(index) + ", ret val =  " +
                        std::to_string(readyCount) + ", " + lastSystemErrorText());
        ++index;
        if (socket == lists_->peer) {
            tunnelLog(TunnelLogLevel::ERROR, prefix() + "Connection to peer closed, exiting");
            loseThePeer();
            return;
        }
        TunnelConnection* connection = findConnection(socket);
        if (connection == nullptr || connection->closing) continue;
        if (tunnelDebugEnabled()) tunnelDebug(prefix() + "Local connection closed: " + connection->idText());
        // Nothing that waits for it can be written any more.
        dropPending(*connection);
        closeConnection(*connection);
    }
}

void QorTunnelInterface::serveWritable() {
    for (const Socket& socket : lists_->write) {
        TunnelConnection* connection = findConnection(socket);
        if (connection == nullptr || connection->connecting || connection->pending.empty()) continue;
        writePending(*connection);
    }
}

void QorTunnelInterface::serveReadable() {
    const auto localReady = std::count_if(lists_->read.begin(), lists_->read.end(),
                                          [this](const Socket& socket) { return !(socket == lists_->peer); });
    const int share = localReady == 0 ? TunnelFrame::MAX_LOCAL_READ
                                      : std::min<int>(TunnelFrame::MAX_LOCAL_READ,
                                                      std::max<int>(MIN_LOCAL_SHARE,
                                                                    LOCAL_BYTES_PER_PASS / localReady));
    for (const Socket& socket : lists_->read) {
        if (socket == lists_->peer) {
            // Frames that are there already are read in the same pass: with
            // many connections the poll would cost more than the frames.
            int frames = 0;
            do {
                if (!receiveFromPeer()) return;
            } while (++frames < MAX_FRAMES_PER_PASS && state() == ThreadState::RUNNING && !peerReadsPaused_ &&
                     peerHasBytes());
            continue;
        }
        // Once the peer is lost, local data read now could not be forwarded.
        if (state() != ThreadState::RUNNING) return;
        TunnelConnection* connection = findConnection(socket);
        if (connection == nullptr || connection->closing || connection->connecting) continue;
        forwardLocalData(*connection, frameBuffer_.get(), share);
    }
}

bool QorTunnelInterface::peerHasBytes() const {
    try {
        return lists_->peer.available() > 0;
    } catch (...) {
        return false;
    }
}

bool QorTunnelInterface::receiveFromPeer() {
    // A fragment lands behind the fragments of its message that came
    // before; it may fill the buffer up to the longest message accepted,
    // and a control frame between two fragments finds room behind that.
    char* const target = frameBuffer_.get() + messageLength_;
    const int room = FRAME_BUFFER_SIZE - messageLength_;
    int received = 0;
    try {
        received = webSocket_->receiveFrame(target, room);
    } catch (const Poco::Net::WebSocketException& e) {
        if (e.code() == Poco::Net::WebSocket::WS_ERR_PAYLOAD_TOO_BIG) return refuseFrameTooLong();
        tunnelLog(TunnelLogLevel::ERROR, prefix() + "Error reading remote data: " + e.displayText() + ", exiting");
        loseThePeer();
        return false;
    } catch (...) {
        tunnelLog(TunnelLogLevel::ERROR,
                  prefix() + "Error reading remote data: " + currentExceptionText() + ", exiting");
        loseThePeer();
        return false;
    }
    if (received == -2) {
        if (tunnelDebugEnabled()) tunnelDebug(prefix() + "Peer shutdown, exiting ... " + lastSystemErrorText());
        loseThePeer();
        return false;
    }
    if (received < 0) {
        if (tunnelDebugEnabled())
            tunnelDebug(prefix() + "Error reading remote data: recv returned " + std::to_string(received) +
                        ", reason (" + lastSystemErrorText() + "), exiting. ");
        loseThePeer();
        return false;
    }
    const int flags = webSocket_->lastFrameFlags();
    const int opcode = flags & Poco::Net::WebSocket::FRAME_OP_BITMASK;
    if (opcode == Poco::Net::WebSocket::FRAME_OP_PING || opcode == Poco::Net::WebSocket::FRAME_OP_PONG) return true;
    if (opcode == Poco::Net::WebSocket::FRAME_OP_CONT) {
        if (messageOpcode_ == 0) return refuseFromPeer("a continuation frame outside a message");
    } else if (opcode == Poco::Net::WebSocket::FRAME_OP_TEXT || opcode == Poco::Net::WebSocket::FRAME_OP_BINARY) {
        if (messageOpcode_ != 0) return refuseFromPeer("a new message inside a fragmented one");
        messageOpcode_ = opcode;
    } else {
        return refuseFromPeer("a frame of opcode " + std::to_string(opcode));
    }
    messageLength_ += received;
    if (messageLength_ > TunnelFrame::MAX_RECEIVED_FRAME) return refuseFrameTooLong();
    if ((flags & Poco::Net::WebSocket::FRAME_FLAG_FIN) == 0) return true;
    const int length = messageLength_;
    const int messageOpcode = messageOpcode_;
    messageLength_ = 0;
    messageOpcode_ = 0;
    if (messageOpcode == Poco::Net::WebSocket::FRAME_OP_TEXT) {
        tunnelLog(TunnelLogLevel::NOTICE,
                  prefix() + "Ignoring a text message of " + std::to_string(length) + " bytes from peer");
        return true;
    }
    handleFrame(frameBuffer_.get(), length);
    return true;
}

bool QorTunnelInterface::refuseFrameTooLong() {
    tunnelLog(TunnelLogLevel::ERROR, prefix() + "Frame from peer longer than " +
                                         std::to_string(TunnelFrame::MAX_RECEIVED_FRAME) + " bytes, exiting ...");
    loseThePeer();
    return false;
}

bool QorTunnelInterface::refuseFromPeer(const std::string& what) {
    tunnelLog(TunnelLogLevel::ERROR, prefix() + "Peer sent " + what + ", exiting ...");
    loseThePeer();
    return false;
}

void QorTunnelInterface::handleFrame(const char* frame, int length) {
    if (length < TunnelFrame::HEADER_SIZE) {
        tunnelLog(TunnelLogLevel::NOTICE, prefix() + "Ignoring a frame of " + std::to_string(length) +
                                              " bytes from peer, shorter than its header");
        return;
    }
    const std::uint32_t type = getUInt32(frame);
    const std::int32_t id = static_cast<std::int32_t>(getUInt32(frame + 4));
    switch (type) {
    case TunnelFrame::DATA:
        deliverData(id, frame + TunnelFrame::HEADER_SIZE, length - TunnelFrame::HEADER_SIZE);
        break;
    case TunnelFrame::OPEN:
        tunnelLog(TunnelLogLevel::INFORMATION,
                  prefix() + "Open tunnel request from " + webSocket_->peerHost() + ", id " + connectionIdText(id));
        openLocalConnection(id);
        break;
    case TunnelFrame::CLOSE: {
        tunnelLog(TunnelLogLevel::INFORMATION,
                  prefix() + "Close tunnel cmd from " + webSocket_->peerHost() + ", id " + connectionIdText(id));
        // The peer is done with it: forward nothing more. What it sent
        // before still reaches the application.
        if (TunnelConnection* connection = findConnection(id)) connection->closing = true;
        scheduleRemoveConnection(id);
        break;
    }
    default:
        break;
    }
}

void QorTunnelInterface::deliverData(std::int32_t id, const char* payload, int length) {
    TunnelConnection* connection = findConnection(id);
    if (connection == nullptr || connection->closing) return;
    connection->packetsReceived += 1;
    connection->bytesReceived += static_cast<std::uint64_t>(length);
    if (length == 0) return;
    // Bytes that wait already go first: as many as the socket takes now, so
    // that an application that keeps up finds them written and the new ones
    // need no copy. Behind a connect under way, or bytes that still wait,
    // these wait too.
    if (!connection->connecting && !connection->pending.empty()) {
        writePending(*connection);
        if (connection->closing) return;
    }
    if (connection->connecting || !connection->pending.empty()) {
        queueForLocal(*connection, payload, length);
        return;
    }
    const int written = writeToLocal(*connection, payload, length);
    if (written < 0) {
        localWriteFailed(*connection);
        return;
    }
    if (written < length) queueForLocal(*connection, payload + written, length - written);
}

int QorTunnelInterface::writeToLocal(TunnelConnection& connection, const char* data, int length) {
    int written = 0;
    while (written < length) {
        int sent = 0;
        try {
            sent = sendSome(connection.socket, data + written, length - written);
        } catch (...) {
            if (tunnelDebugEnabled())
                tunnelDebug(prefix() + "Error writing local data: " + currentExceptionText() +
                            ", closing local connection: " + connection.idText());
            return -1;
        }
        if (sent < 0) break; // the socket takes no more now
        if (sent == 0) return -1;
        written += sent;
    }
    if (written > 0) noteUnsent(connection);
    return written;
}

void QorTunnelInterface::writePending(TunnelConnection& connection) {
    while (!connection.pending.empty()) {
        const int piece = static_cast<int>(connection.pending.frontSize());
        const int written = writeToLocal(connection, connection.pending.frontData(), piece);
        if (written < 0) {
            localWriteFailed(connection);
            return;
        }
        takePending(connection, static_cast<std::size_t>(written));
        if (written < piece) return;
    }
    // A connection that was removed meanwhile goes once its bytes are out.
    if (connection.lingering) destroyConnectionNow(&connection);
}

void QorTunnelInterface::localWriteFailed(TunnelConnection& connection) {
    dropPending(connection);
    if (connection.lingering) {
        destroyConnectionNow(&connection);
        return;
    }
    closeConnection(connection);
}

void QorTunnelInterface::queueForLocal(TunnelConnection& connection, const char* data, int length) {
    connection.pending.append(data, static_cast<std::size_t>(length));
    pendingTotal_ += static_cast<std::size_t>(length);
    checkBounds(connection);
}

void QorTunnelInterface::takePending(TunnelConnection& connection, std::size_t count) {
    connection.pending.consume(count);
    pendingTotal_ -= count;
    checkBounds(connection);
}

void QorTunnelInterface::dropPending(TunnelConnection& connection) {
    pendingTotal_ -= connection.pending.size();
    connection.pending.clear();
    checkBounds(connection);
}

void QorTunnelInterface::checkBounds(TunnelConnection& connection) {
    const std::size_t waiting = connection.pending.size();
    if (!connection.overBound && waiting >= MAX_PENDING_PER_CONNECTION) {
        connection.overBound = true;
        ++connectionsOverBound_;
    } else if (connection.overBound && waiting <= MAX_PENDING_PER_CONNECTION / 2) {
        connection.overBound = false;
        --connectionsOverBound_;
    }
    const std::size_t total = pendingTotal_ + unsentTotal_;
    if (!totalOverBound_ && total >= MAX_PENDING_TOTAL)
        totalOverBound_ = true;
    else if (totalOverBound_ && total <= MAX_PENDING_TOTAL / 2)
        totalOverBound_ = false;
    const bool pause = connectionsOverBound_ > 0 || totalOverBound_;
    if (pause == peerReadsPaused_) return;
    peerReadsPaused_ = pause;
    if (!pause) {
        tunnelLog(TunnelLogLevel::NOTICE, prefix() + "Local applications took the waiting bytes, reading from peer again");
    } else if (connection.overBound) {
        tunnelLog(TunnelLogLevel::WARNING, prefix() + "Connection " + connection.idText() + " has " +
                                               std::to_string(waiting) +
                                               " bytes waiting for its local application, pausing reads from peer");
    } else {
        tunnelLog(TunnelLogLevel::WARNING, prefix() + std::to_string(total) +
                                               " bytes wait for local applications, pausing reads from peer");
    }
}

void QorTunnelInterface::noteUnsent(TunnelConnection& connection) {
    const std::size_t unsent = unsentBytes(connection.socket);
    if (unsent == connection.unsent) return;
    unsentTotal_ = unsentTotal_ - connection.unsent + unsent;
    connection.unsent = unsent;
    checkBounds(connection);
}

void QorTunnelInterface::forgetUnsent(TunnelConnection& connection) {
    unsentTotal_ -= connection.unsent;
    connection.unsent = 0;
}

void QorTunnelInterface::refreshUnsent() {
    if (unsentTotal_ == 0) return;
    for (TunnelConnection* connection : connections_)
        if (connection->unsent > 0) noteUnsent(*connection);
}

bool QorTunnelInterface::atConnectionLimit(std::size_t held) {
    if (held < static_cast<std::size_t>(MAX_CONNECTIONS)) return false;
    if (!limitReported_.exchange(true))
        tunnelLog(TunnelLogLevel::WARNING, prefix() + "Holding " + std::to_string(MAX_CONNECTIONS) +
                                               " connections, the most a tunnel may hold: refusing new ones");
    return true;
}

void QorTunnelInterface::openLocalConnection(std::int32_t id) {
    if (TunnelConnection* old = findConnection(id)) {
        // The peer reuses the id: the old connection could never be
        // reached again, so it goes first (once its application has taken
        // what came for it), without a CLOSE to the peer.
        if (!old->closing)
            tunnelLog(TunnelLogLevel::NOTICE,
                      prefix() + "Connection " + old->idText() + " opened again by peer, closing the old one");
        old->closing = true;
        retireConnection(old);
    }
    {
        // Removals of the id queued before this OPEN were meant for an
        // earlier connection under it: one that was just replaced, or one
        // that is gone already (the peer's CLOSE for it crossed ours, or
        // came when it had never been made). Left queued, they would take
        // the new connection out at the next pass, without a word to the
        // peer.
        ScopedOwnerLock guard(queueLock_);
        pendingRemovals_.erase(std::remove(pendingRemovals_.begin(), pendingRemovals_.end(), id),
                               pendingRemovals_.end());
    }
    std::size_t held = connections_.size();
    {
        ScopedOwnerLock guard(queueLock_);
        held += pendingAdds_.size();
    }
    if (atConnectionLimit(held)) {
        sendTunnelCommand(TunnelFrame::CLOSE, id);
        return;
    }
    try {
        // The connect goes on while the loop serves the others; its end is
        // seen at the next passes (settleConnect).
        Poco::Net::StreamSocket socket;
        socket.connectNB(localAddress());
        fixSendBuffer(socket, LOCAL_SEND_BUFFER);
        std::unique_ptr<TunnelConnection> connection(new TunnelConnection(id, name_, socket));
        connection->connecting = true;
        connection->connectDeadline = monotonicMillis() + (CONNECT_TIMEOUT_US + 999) / 1000;
        addConnection(connection.release());
    } catch (...) {
        // Refused at once, or no descriptor left: the peer learns at once.
        reportConnectFailure();
        sendTunnelCommand(TunnelFrame::CLOSE, id);
    }
}

void QorTunnelInterface::forwardLocalData(TunnelConnection& connection, char* buffer, int maxBytes) {
    int received = 0;
    try {
        received = receiveSome(connection.socket, buffer + TunnelFrame::HEADER_SIZE,
                               std::min(maxBytes, TunnelFrame::MAX_LOCAL_READ));
    } catch (...) {
        // A reset by the local application: this connection ends, the
        // tunnel goes on.
        if (tunnelDebugEnabled())
            tunnelDebug(prefix() + "Error reading local data: " + currentExceptionText() + ", connection " +
                        connection.idText());
        dropPending(connection);
        closeConnection(connection);
        return;
    }
    if (received < 0) return; // nothing there after all
    if (received == 0) {
        // The application sends no more; what waits for it is still written.
        if (tunnelDebugEnabled())
            tunnelDebug(prefix() + "Local shutdownd, closing local connection: " + connection.idText());
        closeConnection(connection);
        return;
    }
    connection.packetsSent += 1;
    connection.bytesSent += static_cast<std::uint64_t>(received);
    putHeader(buffer, TunnelFrame::DATA, connection.id);
    sendToPeer(buffer, received + TunnelFrame::HEADER_SIZE, "data");
}

bool QorTunnelInterface::sendToPeer(const char* buffer, int length, const char* what) {
    int sent = -1;
    try {
        sent = webSocket_->sendBinary(buffer, length);
    } catch (...) {
        tunnelLog(TunnelLogLevel::ERROR, prefix() + "Sending " + what + " to peer failed: " + currentExceptionText());
    }
    if (sent == length) return true;
    if (tunnelDebugEnabled()) tunnelDebug(prefix() + "Error sending data, peer connection closed, exiting ...");
    loseThePeer();
    return false;
}

void QorTunnelInterface::loseThePeer() {
    peerLost_ = true;
    requestStop();
}

void QorTunnelInterface::closeLostPeer() {
    // The peer is gone or broke the protocol: end the WebSocket now, so that
    // the peer is not left waiting until the owner deletes the tunnel. A
    // closing handshake that the peer began gets its answer; nothing else is
    // sent that could block.
    const int opcode = webSocket_->lastFrameFlags() & Poco::Net::WebSocket::FRAME_OP_BITMASK;
    try {
        if (opcode == Poco::Net::WebSocket::FRAME_OP_CLOSE && !webSocket_->isClosed()) {
            webSocket_->setSendTimeout(STOP_GRACE_MS / 4);
            webSocket_->socket()->shutdown(Poco::Net::WebSocket::WS_NORMAL_CLOSE);
        }
    } catch (...) {
    }
    try {
        webSocket_->close(true);
    } catch (...) {
    }
}

void QorTunnelInterface::closeConnection(TunnelConnection& connection) {
    if (connection.closing) return;
    connection.closing = true;
    sendTunnelCommand(TunnelFrame::CLOSE, connection.id);
    scheduleRemoveConnection(connection.id);
}

TunnelConnection* QorTunnelInterface::findConnection(std::int32_t id) const {
    for (TunnelConnection* connection : connections_)
        if (connection->id == id && !connection->lingering) return connection;
    return nullptr;
}

TunnelConnection* QorTunnelInterface::findConnection(const Socket& socket) const {
    for (TunnelConnection* connection : connections_)
        if (connection->socket == socket) return connection;
    return nullptr;
}

void QorTunnelInterface::addConnection(TunnelConnection* connection) {
    connections_.push_front(connection);
    connectionCount_.store(static_cast<int>(connections_.size()));
}

void QorTunnelInterface::retireConnection(TunnelConnection* connection) {
    if (connection->pending.empty()) {
        destroyConnectionNow(connection);
        return;
    }
    connection->closing = true;
    connection->lingering = true;
}

void QorTunnelInterface::destroyConnectionNow(TunnelConnection* connection) {
    // What its socket still holds goes out when the system can send it.
    forgetUnsent(*connection);
    dropPending(*connection);
    connections_.remove(connection);
    const int count = static_cast<int>(connections_.size());
    connectionCount_.store(count);
    if (count < MAX_CONNECTIONS) limitReported_.store(false);
    delete connection;
}

void QorTunnelInterface::releaseConnections() {
    std::list<TunnelConnection*> serving;
    serving.swap(connections_);
    for (TunnelConnection* connection : serving) delete connection;
    pendingTotal_ = 0;
    unsentTotal_ = 0;
    connectionsOverBound_ = 0;
    totalOverBound_ = false;
    peerReadsPaused_ = false;
    std::deque<TunnelConnection*> queued;
    {
        ScopedOwnerLock guard(queueLock_);
        queued.swap(pendingAdds_);
        pendingRemovals_.clear();
    }
    for (TunnelConnection* connection : queued) delete connection;
}

} // namespace qor
