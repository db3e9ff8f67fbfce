// One connection to the daemon whose request frame has come (the listener
// reads it): the peer's user is checked, then the request is answered with
// one frame; the connection is closed either way.
#pragma once

#include <Poco/Net/TCPServerConnection.h>

#include <string>

class VHProxyDaemon;

class VHProxyConnection : public Poco::Net::TCPServerConnection {
public:
    VHProxyConnection(const Poco::Net::StreamSocket& socket, VHProxyDaemon& daemon, std::string request);
    void run() override;

private:
    bool writeFrame(const std::string& text);

    VHProxyDaemon& daemon_;
    const std::string request_;
};
