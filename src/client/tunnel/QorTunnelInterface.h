// The forwarding thread of a port tunnel: any number of local TCP
// connections multiplexed over one WebSocket to the peer. Every WebSocket
// message is one tunnel frame, however the peer fragments it:
//
//   bytes 0-3  type, uint32 little-endian: 0 DATA, 1 OPEN, 2 CLOSE
//   bytes 4-7  connection id, uint32 little-endian
//   bytes 8-   DATA only: bytes of that one connection
//
// OPEN and CLOSE are sent as exactly 8 bytes. A DATA frame carries one local
// read of at most 1,048,568 bytes, so no frame that we send is longer than
// 1,048,576 bytes; frames of up to 1,048,584 bytes are accepted from the
// peer. An OPEN from the peer connects a new local connection to
// 127.0.0.1:localPort under the frame's id; connections handed over with
// scheduleAddConnection are announced to the peer with OPEN.
//
// The thread never waits for a local application: local connects and
// writes do not block, and bytes that an application does not take at once
// wait in its connection's own bounded buffer while the others are served.
// The protocol has no flow control per connection, so only when a
// connection's buffer, or all of them together (with what the system holds
// unsent for the applications), reach their bound does the tunnel stop
// reading from the peer (logged) until they are down to half.
// Sends to the peer block: a peer that stops reading holds the tunnel up.
//
// The client and server sides derive from this class and start the thread;
// their destructors call finishThread first. The owner watches the thread
// state: 4, 8 or 16 mean the tunnel has collapsed.
#pragma once

#include "OwnerLock.h"
#include "QorThread.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <string>

namespace Poco {
namespace Net {
class Socket;
class SocketAddress;
}
} // namespace Poco

namespace qor {

class QorWebSocket;
struct TunnelConnection;

namespace TunnelFrame {
constexpr std::uint32_t DATA = 0;
constexpr std::uint32_t OPEN = 1;
constexpr std::uint32_t CLOSE = 2;
constexpr int HEADER_SIZE = 8;
// The longest frame we send, and what a peer built like us receives.
constexpr int MAX_SENT_FRAME = 1048576;
// The most bytes of one local read: one read and its header fit MAX_SENT_FRAME.
constexpr int MAX_LOCAL_READ = MAX_SENT_FRAME - HEADER_SIZE;
// The longest frame accepted from the peer: a full 1 MiB read behind the header.
constexpr int MAX_RECEIVED_FRAME = 1048584;
} // namespace TunnelFrame

class QorTunnelInterface : public QorThread {
public:
    // kind: 0 client side, 1 server side (recorded only). Takes ownership of
    // the WebSocket. The thread is started by the side that derives.
    QorTunnelInterface(std::string clientId, std::string name, int kind, int localPort, QorWebSocket* webSocket);
    ~QorTunnelInterface() override;

    // Takes the connection over: queued for the tunnel thread, which
    // announces it to the peer, while the thread is starting or running and
    // the tunnel holds fewer than MAX_CONNECTIONS; destroyed (closed) at
    // once otherwise. Any thread.
    void scheduleAddConnection(TunnelConnection* connection);
    // Queues the removal of the first connection with the id for the next
    // pass while the thread is starting or running.
    void scheduleRemoveConnection(std::int32_t id);
    // Sends an 8-byte frame {type, id}; a failed send stops the tunnel.
    // Tunnel thread only.
    void sendTunnelCommand(std::uint32_t type, std::int32_t id);

    int localPort() const { return localPort_; }
    int kind() const { return kind_; }
    const std::string& clientId() const { return clientId_; }
    // Connections that the tunnel holds (kept current by its thread).
    int connectionCount() const { return connectionCount_.load(); }

    // How long an owner waits for the thread after a stop request before it
    // shuts the peer connection down under it (a peer that stopped reading
    // can block a send for ever).
    static constexpr int STOP_GRACE_MS = 1000;
    // The poll time-out of a pass: bounds how long a stop or a queued
    // change waits.
    static constexpr long POLL_TIMEOUT_US = 125000;
    // The poll time-out while reads from the peer pause on the bound for
    // all connections and the system holds some of those bytes: nothing
    // wakes the pass when applications take them, so it asks that often.
    static constexpr long UNSENT_POLL_TIMEOUT_US = 20000;
    // The most frames read from the peer in one pass, when more are there.
    static constexpr int MAX_FRAMES_PER_PASS = 64;
    // What the local connections that are ready in one pass may read
    // together: each reads an equal share (at least MIN_LOCAL_SHARE, at most
    // a full frame). Without a bound, one pass would forward everything
    // that many busy connections have buffered, and the bytes of every
    // other connection, and all that comes back from the peer, would wait
    // behind it.
    static constexpr int LOCAL_BYTES_PER_PASS = 4 * 1024 * 1024;
    static constexpr int MIN_LOCAL_SHARE = 16 * 1024;
    // The time-out of the local connect for an OPEN; the connect does not
    // block the thread.
    static constexpr long CONNECT_TIMEOUT_US = 25000;
    // The most connections of one tunnel, those still connecting and those
    // that wait to write their last bytes included. An OPEN beyond it is
    // answered with CLOSE, a local connection beyond it is closed. It keeps
    // a peer from taking every descriptor of the process, and the cost of a
    // pass, which polls every connection, within bounds.
    static constexpr int MAX_CONNECTIONS = 512;
    // Bytes from the peer that may wait for one local application, and for
    // all of them together, before the tunnel stops reading from the peer.
    // The bound of all counts what the system holds unsent in the local
    // sockets' send queues too: with many applications that do not read,
    // those queues would otherwise hold far more than the tunnel itself.
    static constexpr std::size_t MAX_PENDING_PER_CONNECTION = 16u * 1024 * 1024;
    static constexpr std::size_t MAX_PENDING_TOTAL = 32u * 1024 * 1024;
    // The send buffer of every local socket, as the system counts it (its
    // own bookkeeping of each queued segment included). Left alone, Linux
    // grows the buffer of a socket whose application does not read up to
    // net.ipv4.tcp_wmem's maximum (4 MiB), and every socket of the machine
    // comes under memory pressure when hundreds of them fill. Fixed, it no
    // longer grows, and what the sockets hold unsent counts against
    // MAX_PENDING_TOTAL. It takes a whole frame from the peer while the
    // application keeps up, so that the frame is not copied into the
    // connection's buffer first (net.core.wmem_max caps it: 416 KiB with
    // Linux's default). Small buffers cost the rate: at 64 KiB one loopback
    // segment fills it, and each waits for a delayed acknowledgement.
    static constexpr int LOCAL_SEND_BUFFER = 2 * 1024 * 1024;
    // After the peer has gone, how long the bytes that it sent before may
    // take to reach local applications that are slow to read them.
    static constexpr int FINAL_WRITE_MS = 5000;

protected:
    void eventLoop() override;
    void forwardLoop();
    // Stops the thread and waits for it. The sides' destructors call it
    // first, before anything that the running thread uses goes away; the
    // base destructor calls it again (then it does nothing).
    void finishThread();
    QorWebSocket* webSocket() const { return webSocket_; }

private:
    // After the peer has gone: writes what waits for local applications,
    // for at most FINAL_WRITE_MS.
    void finishLocalWrites();
    void applyQueuedChanges();
    // The queued removals; the caller holds queueLock_.
    void removeQueuedConnections();
    void buildPollLists();
    long pollTimeoutUs() const;
    // One pass's work on the ready sockets.
    void serveConnects();
    void serveExceptional(int readyCount);
    void serveWritable();
    void serveReadable();
    bool peerHasBytes() const;
    // One WebSocket frame from the peer, a whole message or a fragment of
    // one; false ends the pass.
    bool receiveFromPeer();
    // A frame that breaks the WebSocket protocol, or a message longer than
    // a tunnel frame may be: the peer is lost (false).
    bool refuseFromPeer(const std::string& what);
    bool refuseFrameTooLong();
    void handleFrame(const char* frame, int length);
    void deliverData(std::int32_t id, const char* payload, int length);
    void openLocalConnection(std::int32_t id);
    // Completes or fails a connect under way: when its socket is ready or
    // its time is up.
    void settleConnect(TunnelConnection& connection);
    void failConnect(TunnelConnection& connection);
    void reportConnectFailure() const;
    // 127.0.0.1 at localPort, where the peer's connections go.
    Poco::Net::SocketAddress localAddress() const;
    // One read of at most maxBytes (at most a full frame) from the local
    // connection, forwarded to the peer.
    void forwardLocalData(TunnelConnection& connection, char* buffer, int maxBytes);
    // Sends a frame of length bytes from buffer; false (after stopping the
    // tunnel) when the peer connection failed.
    bool sendToPeer(const char* buffer, int length, const char* what);
    // Writes what the local socket takes now: the byte count, or -1 when
    // the connection failed.
    int writeToLocal(TunnelConnection& connection, const char* data, int length);
    // Writes the connection's waiting bytes as far as its socket takes them.
    void writePending(TunnelConnection& connection);
    void localWriteFailed(TunnelConnection& connection);
    // The bytes that wait for local applications, counted against the
    // bounds; a change may pause or resume reading from the peer.
    void queueForLocal(TunnelConnection& connection, const char* data, int length);
    void takePending(TunnelConnection& connection, std::size_t count);
    void dropPending(TunnelConnection& connection);
    void checkBounds(TunnelConnection& connection);
    // Asks the system what the connection's socket holds unsent, and
    // counts it; forgetUnsent stops counting it.
    void noteUnsent(TunnelConnection& connection);
    void forgetUnsent(TunnelConnection& connection);
    // At every pass: what the system held unsent shrinks as applications
    // read, without an event that the tunnel would wait for.
    void refreshUnsent();
    // True (and logged once while it lasts) when the tunnel holds as many
    // connections as it may.
    bool atConnectionLimit(std::size_t held);
    // Stops the tunnel from inside the loop: the peer is lost.
    void loseThePeer();
    void closeLostPeer();
    // Sends CLOSE for the connection (once) and queues its removal.
    void closeConnection(TunnelConnection& connection);
    // The connection in service under the id (not one that only lingers).
    TunnelConnection* findConnection(std::int32_t id) const;
    TunnelConnection* findConnection(const Poco::Net::Socket& socket) const;
    void addConnection(TunnelConnection* connection);
    // Takes the connection out of service: at once when nothing waits for
    // its application, otherwise once the waiting bytes are written.
    void retireConnection(TunnelConnection* connection);
    void destroyConnectionNow(TunnelConnection* connection);
    void releaseConnections();
    std::string prefix() const { return name_ + ": "; }

    const std::string name_;
    const int localPort_;
    QorWebSocket* webSocket_;
    std::list<TunnelConnection*> connections_; // newest first; tunnel thread only
    std::deque<TunnelConnection*> pendingAdds_;
    std::deque<std::int32_t> pendingRemovals_;
    OwnerLock queueLock_;
    const std::string clientId_;
    const int kind_;
    std::atomic<int> connectionCount_{0};
    bool threadFinished_ = false;
    // Reported that the connection limit is reached; again only after the
    // tunnel was below it.
    std::atomic<bool> limitReported_{false};
    // The owner ends the tunnel: nothing more is waited for.
    std::atomic<bool> ownerStopping_{false};

    // Loop state, tunnel thread only.
    bool peerLost_ = false;
    std::unique_ptr<char[]> frameBuffer_;
    // The message being received: its opcode and the bytes of its
    // fragments so far (a message in one frame is complete at once).
    int messageOpcode_ = 0;
    int messageLength_ = 0;
    std::size_t pendingTotal_ = 0;
    // The unsent bytes of every connection, as last asked.
    std::size_t unsentTotal_ = 0;
    int connectionsOverBound_ = 0;
    bool totalOverBound_ = false;
    bool peerReadsPaused_ = false;
    int connectsUnderWay_ = 0;
    struct PollLists;
    std::unique_ptr<PollLists> lists_;
};

} // namespace qor
