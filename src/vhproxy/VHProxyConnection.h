// One connection to the daemon: the peer's user is checked, then one
// request frame is read (at most 1 MiB, within 5 s) and answered with one
// frame; the connection is closed either way.
#pragma once

#include <Poco/Net/TCPServerConnection.h>

class VHProxyDaemon;

class VHProxyConnection : public Poco::Net::TCPServerConnection {
public:
    VHProxyConnection(const Poco::Net::StreamSocket& socket, VHProxyDaemon& daemon);
    void run() override;

private:
    bool readFrame(std::string& text);
    bool writeFrame(const std::string& text);

    VHProxyDaemon& daemon_;
};
