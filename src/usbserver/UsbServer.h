// The USB server's line protocol on 127.0.0.1 (see README.md): one request
// line, one reply line, as long as the connection stays open; several
// connections at once (the vhproxy daemon's, the remote side's through the
// USB tunnel).
#pragma once

#include "UsbServerDevices.h"

#include <Poco/Net/TCPServer.h>

#include <atomic>
#include <memory>
#include <string>

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
    bool stopping() const { return stopping_.load(); }

private:
    UsbServerDevices& devices_;
    const std::string serverName_;
    std::atomic<bool> stopping_{false};
    std::unique_ptr<Poco::Net::TCPServer> server_;
};
