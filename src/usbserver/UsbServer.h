// The USB server's line protocol on 127.0.0.1 (see README.md): one request
// line, one reply line, as long as the connection stays open; several
// connections at once (the vhproxy daemon's, the remote side's through the
// USB tunnel). A connection that introduced itself with HELLO is a remote
// VirtualHere client until it closes; LIST tells how many are connected.
#pragma once

#include "UsbServerDevices.h"

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class UsbServer {
public:
    // The longest request line taken, in bytes.
    static constexpr std::size_t maxLineLength = 4096;

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

    // Listens on 127.0.0.1 at the port and serves; false with the reason.
    bool start(int port, std::string& error);
    // Stops listening and ends every connection within a second.
    void stop();

private:
    struct Connection {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void acceptConnections();
    // Serves one connection; owns the socket and deletes it.
    void serve(Poco::Net::StreamSocket* socket, Connection* connection);
    bool sendLine(Poco::Net::StreamSocket& socket, const std::string& reply);

    UsbServerDevices& devices_;
    const std::string serverName_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> remoteClients_{0};
    Poco::Net::ServerSocket listener_;
    std::thread acceptor_;
    // Connection threads; the acceptor joins those that are done.
    std::mutex connectionsLock_;
    std::list<std::unique_ptr<Connection>> connections_;
};
