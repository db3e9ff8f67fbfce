// The USB server's line protocol on 127.0.0.1 (see README.md): one request
// line, one reply line, as long as the connection stays open; several
// connections at once (the vhproxy daemon's, the remote side's through the
// USB tunnel).
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

    // The reply line (without line end) to one request line; close is set
    // when the connection is to end after the reply.
    std::string handleLine(const std::string& line, bool& close);

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
    Poco::Net::ServerSocket listener_;
    std::thread acceptor_;
    // Connection threads; the acceptor joins those that are done.
    std::mutex connectionsLock_;
    std::list<std::unique_ptr<Connection>> connections_;
};
