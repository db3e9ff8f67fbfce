// The server's end of one port tunnel, written from the tunnel frame table:
// every WebSocket message is one binary frame of type (uint32 little-endian:
// 0 DATA, 1 OPEN, 2 CLOSE), connection id (uint32 little-endian) and, for
// DATA, the connection's bytes.
//
// Type 0 (the client connects locally for us): we listen on 127.0.0.1 at a
// port of our own, announce each accepted connection with OPEN and relay
// DATA and CLOSE both ways. Type 1 (the client listens): each OPEN from the
// client is answered by a connection to 127.0.0.1 at a port of our own, or
// by CLOSE when that fails.
//
// The thread that calls run() reads the WebSocket and writes to the local
// sockets; one thread per local connection reads it and sends DATA. Sends on
// the WebSocket are serialised by one lock.
#pragma once

#include <Poco/Logger.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Net/WebSocket.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TunnelEnd {
public:
    // localPort: type 0 the port we listen on (0: any free port), type 1
    // the port we connect to.
    TunnelEnd(Poco::Net::WebSocket& socket, int type, std::string name, int localPort, Poco::Logger& logger);
    ~TunnelEnd();
    TunnelEnd(const TunnelEnd&) = delete;
    TunnelEnd& operator=(const TunnelEnd&) = delete;

    // Type 0: binds the listener; false (logged) when the port is taken.
    bool listen();
    // The port we listen on (type 0, after listen()).
    int listenPort() const { return listenPort_; }
    // Relays until the client ends the WebSocket, breaks the protocol, or
    // keepGoing turns false (tested every 250 ms). Closes every local
    // connection before it returns.
    void run(const std::function<bool()>& keepGoing);

    // The longest frame accepted from the client: a full 1 MiB read of its
    // own behind the header.
    static constexpr int MAX_FRAME = 1048584;
    // The most bytes of one local read, so that each frame we send fits a
    // client that receives 1,048,576 bytes.
    static constexpr int MAX_READ = 1048576 - 8;

private:
    struct Connection {
        Poco::Net::StreamSocket socket;
        std::thread reader;
        std::atomic<bool> closedByClient{false};
    };

    void acceptLoop();
    void addConnection(std::uint32_t id, const Poco::Net::StreamSocket& socket);
    // Joins the readers of connections that have ended.
    void reapFinished();
    void readLocal(std::uint32_t id, std::shared_ptr<Connection> connection);
    void handleFrame(const char* frame, int length);
    void openForClient(std::uint32_t id);
    void closeForClient(std::uint32_t id);
    // One frame on the WebSocket; senders take turns in the order they came.
    bool sendFrame(const char* frame, int length, int flags = Poco::Net::WebSocket::FRAME_BINARY);
    bool sendCommand(std::uint32_t type, std::uint32_t id);
    std::shared_ptr<Connection> find(std::uint32_t id);
    void closeAll();

    Poco::Net::WebSocket& socket_;
    const int type_;
    const std::string name_;
    const int localPort_;
    Poco::Logger& logger_;
    std::unique_ptr<Poco::Net::ServerSocket> listener_;
    int listenPort_ = 0;
    std::thread acceptor_;
    std::atomic<bool> stopping_{false};
    // Senders take turns in the order they came (a plain mutex lets one
    // busy connection starve the others).
    std::mutex sendMutex_;
    std::condition_variable sendTurn_;
    std::uint64_t nextTicket_ = 0;
    std::uint64_t serving_ = 0;
    std::mutex mutex_;
    std::map<std::uint32_t, std::shared_ptr<Connection>> connections_;
    std::vector<std::shared_ptr<Connection>> finished_;  // closed, reader still to join
    std::uint32_t nextId_ = 1;
};
