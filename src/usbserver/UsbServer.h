// The USB server's line protocol on 127.0.0.1 (see README.md): one request
// line, one reply line, as long as the connection stays open; several
// connections at once (the vhproxy daemon's, the remote side's through the
// USB tunnel). A connection that introduced itself with HELLO is a remote
// VirtualHere client until it closes; LIST tells how many are connected.
//
// Only root (the vhproxy daemon) and the user the server runs as (whose
// client started it, and the remote side through that client's USB
// tunnel) are served: anyone else's connection is refused, the first
// refusal of a user logged and the further ones summed up once a minute
// has passed (at the next connection) and when the server stops. Each
// connection has a thread of its own. A peer that does not take its
// replies loses its connection after sendTimeoutMs; stop ends every
// connection at once. A connection whose thread cannot start is refused,
// and while connections cannot be accepted (no descriptor left) the server
// pauses accepting until a connection ends; either is logged when it begins
// and ends, not per connection.
#pragma once

#include "PeerRefusalReport.h"
#include "ShortageReport.h"
#include "UsbServerDevices.h"

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class UsbServer {
public:
    // The longest request line taken, in bytes.
    static constexpr std::size_t maxLineLength = 4096;
    // How long a reply may wait for the peer to take it.
    static constexpr int sendTimeoutMs = 5000;
    // How long accepting pauses at most after a failed accept, unless a
    // connection ends before.
    static constexpr int acceptPauseMs = 250;

    UsbServer(UsbServerDevices& devices, std::string serverName);
    ~UsbServer();

    // What one connection has said of itself.
    struct Session {
        bool close = false;  // end the connection after the reply
        bool remote = false; // a remote VirtualHere client (HELLO)
    };

    // The reply line (without line end) to one request line of the session.
    std::string handleLine(const std::string& line, Session& session);
    // The remote VirtualHere clients connected now.
    int remoteClients() const { return remoteClients_.load(); }

    // Listens on 127.0.0.1 at the port; false with the reason. Connections
    // wait in the backlog until serve.
    bool listen(int port, std::string& error);
    // Serves the connections; false with the reason.
    bool serve(std::string& error);
    // Stops listening and ends every connection at once.
    void stop();

private:
    struct Connection {
        Poco::Net::StreamSocket socket;
        std::thread thread;
        bool done = false; // the socket is closed; under connectionsLock_
    };

    void acceptConnections();
    // Whether the accepted connection is served: its peer's user is one
    // that the server answers.
    bool admit(Poco::Net::StreamSocket& socket);
    // Logs the refusals of each user counted and not told yet, once their
    // period is over; with all, every user's.
    void reportRefusals(bool all);
    // Gives the accepted connection a thread; false when none can start.
    bool startConnection(const Poco::Net::StreamSocket& socket);
    // Joins the threads of the connections that ended.
    void collectEndedConnections();
    // Waits until a connection ends, the server stops or the pause is over.
    void pauseAccepting();
    void serve(Connection* connection);
    void endConnection(Connection* connection);
    bool sendLine(Poco::Net::StreamSocket& socket, const std::string& reply);

    UsbServerDevices& devices_;
    const std::string serverName_;
    const unsigned int ownUserId_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> remoteClients_{0};
    Poco::Net::ServerSocket listener_;
    std::thread acceptor_;
    // Connection threads; the acceptor joins those that are done.
    std::mutex connectionsLock_;
    std::condition_variable connectionEnded_;
    std::uint64_t endedConnections_ = 0;
    std::list<std::unique_ptr<Connection>> connections_;
    // The acceptor's own.
    ShortageReport acceptFailure_;
    ShortageReport threadShortage_;
    PeerRefusalReport refusals_;
};
