#include "QorTunnelInterface.h"

#include "QorWebSocket.h"
#include "TunnelConnection.h"
#include "TunnelLog.h"
#include "TunnelPlatform.h"

#include <Poco/Exception.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Net/WebSocket.h>
#include <Poco/Thread.h>
#include <Poco/Timespan.h>

#include <algorithm>
#include <exception>
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
    frameBuffer_.reset(new char[TunnelFrame::MAX_RECEIVED_FRAME]);
    drainBuffer_.reset(new char[TunnelFrame::MAX_SENT_FRAME]);
    lists_.reset(new PollLists);
    lists_->peer = *webSocket_->socket();
    bool shortageLogged = false;
    while (state() == ThreadState::RUNNING) {
        applyQueuedChanges();
        connectionCount_.store(static_cast<int>(connections_.size()));
        buildPollLists();
        // Bytes that TLS or the handshake's reader already took off the
        // socket are not seen by the poll: do not wait when they are there.
        const bool peerPending = peerHasBytes();
        int ready = 0;
        try {
            ready = Socket::select(lists_->read, lists_->write, lists_->except,
                                   Poco::Timespan(peerPending ? 0 : POLL_TIMEOUT_US));
            shortageLogged = false;
        } catch (const Poco::Exception& e) {
            // The poll needs a descriptor of its own: out of descriptors,
            // the tunnel waits for some to come free rather than end.
            if (isResourceShortage(e.code())) {
                if (!shortageLogged)
                    tunnelLog(TunnelLogLevel::ERROR,
                              prefix() + "Select on sockets failed " + e.displayText() + ", retrying ...");
                shortageLogged = true;
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
        serveExceptional(ready);
        serveReadable();
    }
    // Whatever ended the loop, nobody can reach the local connections any
    // more: close them now rather than when the owner deletes the tunnel.
    releaseConnections();
    if (peerLost_) closeLostPeer();
    connectionCount_.store(0);
    lists_.reset();
    drainBuffer_.reset();
    frameBuffer_.reset();
    tunnelDebug(prefix() + "Shutdown done");
}

void QorTunnelInterface::applyQueuedChanges() {
    std::deque<TunnelConnection*> adds;
    {
        ScopedOwnerLock guard(queueLock_);
        removeQueuedConnections();
        adds.swap(pendingAdds_);
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
        auto found = std::find_if(connections_.begin(), connections_.end(),
                                  [id](const TunnelConnection* c) { return c->id == id; });
        if (found == connections_.end()) continue;
        if (tunnelDebugEnabled()) tunnelDebug(prefix() + "Removing connection " + connectionIdText(id));
        TunnelConnection* connection = *found;
        connections_.erase(found);
        delete connection;
    }
}

void QorTunnelInterface::buildPollLists() {
    PollLists& lists = *lists_;
    lists.read.clear();
    lists.write.clear();
    lists.except.clear();
    lists.read.push_back(lists.peer);
    lists.except.push_back(lists.peer);
    for (TunnelConnection* connection : connections_) {
        lists.read.push_back(connection->socket);
        lists.except.push_back(connection->socket);
    }
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
        closeConnection(*connection);
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
            } while (++frames < MAX_FRAMES_PER_PASS && state() == ThreadState::RUNNING && peerHasBytes());
            continue;
        }
        // Once the peer is lost, local data read now could not be forwarded.
        if (state() != ThreadState::RUNNING) return;
        TunnelConnection* connection = findConnection(socket);
        if (connection == nullptr || connection->closing) continue;
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
    int received = 0;
    try {
        received = webSocket_->receiveFrame(frameBuffer_.get(), TunnelFrame::MAX_RECEIVED_FRAME);
    } catch (const Poco::Net::WebSocketException& e) {
        if (e.code() == Poco::Net::WebSocket::WS_ERR_PAYLOAD_TOO_BIG) {
            tunnelLog(TunnelLogLevel::ERROR, prefix() + "Frame from peer longer than " +
                                                 std::to_string(TunnelFrame::MAX_RECEIVED_FRAME) +
                                                 " bytes, exiting ...");
        } else {
            tunnelLog(TunnelLogLevel::ERROR, prefix() + "Error reading remote data: " + e.displayText() + ", exiting");
        }
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
    const int opcode = webSocket_->lastFrameFlags() & Poco::Net::WebSocket::FRAME_OP_BITMASK;
    if (opcode == Poco::Net::WebSocket::FRAME_OP_PING || opcode == Poco::Net::WebSocket::FRAME_OP_PONG) return true;
    if (opcode == Poco::Net::WebSocket::FRAME_OP_TEXT) {
        tunnelLog(TunnelLogLevel::NOTICE,
                  prefix() + "Ignoring a text message of " + std::to_string(received) + " bytes from peer");
        return true;
    }
    handleFrame(frameBuffer_.get(), received);
    return true;
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
        // The peer is done with it: forward nothing more in this pass.
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
    switch (writeToLocal(*connection, payload, length)) {
    case WriteResult::WRITTEN:
    case WriteResult::STOPPED:
        break;
    case WriteResult::FAILED:
        closeConnection(*connection);
        break;
    }
}

QorTunnelInterface::WriteResult QorTunnelInterface::writeToLocal(TunnelConnection& connection, const char* data,
                                                                 int length) {
    bool drain = true;
    while (length > 0) {
        int sent = 0;
        try {
            sent = sendSome(connection.socket, data, length);
        } catch (...) {
            if (tunnelDebugEnabled())
                tunnelDebug(prefix() + "Error writing local data: " + currentExceptionText() +
                            ", closing local connection: " + connection.idText());
            return WriteResult::FAILED;
        }
        if (sent > 0) {
            data += sent;
            length -= sent;
        } else if (sent == 0) {
            return WriteResult::FAILED;
        } else if (!waitUntilWritable(connection, drain)) {
            return state() == ThreadState::RUNNING ? WriteResult::FAILED : WriteResult::STOPPED;
        }
    }
    return WriteResult::WRITTEN;
}

bool QorTunnelInterface::waitUntilWritable(TunnelConnection& connection, bool& drain) {
    // The local application does not take our bytes now. It may be waiting
    // to send its own first (an echo, say): keep forwarding what it sends,
    // so that neither side waits for the other for ever.
    Socket::SocketList read;
    Socket::SocketList write;
    Socket::SocketList except;
    while (state() == ThreadState::RUNNING) {
        read.clear();
        write.assign(1, connection.socket);
        except.assign(1, connection.socket);
        if (drain) read.assign(1, connection.socket);
        try {
            Socket::select(read, write, except, Poco::Timespan(POLL_TIMEOUT_US));
        } catch (...) {
            return false;
        }
        if (!write.empty() || !except.empty()) return true;
        if (read.empty()) continue;
        char* buffer = drainBuffer_.get();
        int received = 0;
        try {
            received = receiveSome(connection.socket, buffer + TunnelFrame::HEADER_SIZE, TunnelFrame::MAX_LOCAL_READ);
        } catch (...) {
            received = 0;
        }
        if (received == 0) {
            // End of stream or a failure: the pass after this write sees it.
            drain = false;
            continue;
        }
        if (received < 0) continue;
        connection.packetsSent += 1;
        connection.bytesSent += static_cast<std::uint64_t>(received);
        putHeader(buffer, TunnelFrame::DATA, connection.id);
        if (!sendToPeer(buffer, received + TunnelFrame::HEADER_SIZE, "data")) return false;
    }
    return false;
}

void QorTunnelInterface::openLocalConnection(std::int32_t id) {
    if (TunnelConnection* old = findConnection(id)) {
        // The peer reuses the id: the old connection could never be
        // reached again, so it goes first, without a CLOSE to the peer.
        if (!old->closing)
            tunnelLog(TunnelLogLevel::NOTICE,
                      prefix() + "Connection " + old->idText() + " opened again by peer, closing the old one");
        destroyConnectionNow(old);
        ScopedOwnerLock guard(queueLock_);
        pendingRemovals_.erase(std::remove(pendingRemovals_.begin(), pendingRemovals_.end(), id),
                               pendingRemovals_.end());
    }
    const Poco::Net::SocketAddress address("127.0.0.1", static_cast<Poco::UInt16>(localPort_));
    try {
        Poco::Net::StreamSocket socket;
        socket.connect(address, Poco::Timespan(CONNECT_TIMEOUT_US));
        socket.setNoDelay(true);
        socket.setBlocking(false);
        if (tunnelDebugEnabled())
            tunnelDebug(prefix() + "Connected " + connectionIdText(id) + " to local socket " + address.toString());
        connections_.push_front(new TunnelConnection(id, name_, socket));
    } catch (...) {
        // Refused, timed out, or no descriptor left: the peer learns at once.
        tunnelLog(TunnelLogLevel::NOTICE, prefix() + "Can't connect locally to server (" + address.toString() + ")");
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
        closeConnection(connection);
        return;
    }
    if (received < 0) return; // nothing there after all
    if (received == 0) {
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
        if (connection->id == id) return connection;
    return nullptr;
}

TunnelConnection* QorTunnelInterface::findConnection(const Socket& socket) const {
    for (TunnelConnection* connection : connections_)
        if (connection->socket == socket) return connection;
    return nullptr;
}

void QorTunnelInterface::destroyConnectionNow(TunnelConnection* connection) {
    connections_.remove(connection);
    delete connection;
}

void QorTunnelInterface::releaseConnections() {
    std::list<TunnelConnection*> serving;
    serving.swap(connections_);
    for (TunnelConnection* connection : serving) delete connection;
    std::deque<TunnelConnection*> queued;
    {
        ScopedOwnerLock guard(queueLock_);
        queued.swap(pendingAdds_);
        pendingRemovals_.clear();
    }
    for (TunnelConnection* connection : queued) delete connection;
}

} // namespace qor
