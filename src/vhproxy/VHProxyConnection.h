// One connection to the daemon whose request frame has come (the listener
// reads it, and has found the peer's user when it accepted the connection
// and refused it unless the daemon serves that user): the request is
// carried out and answered with one frame; the connection is closed then.
#pragma once

#include <Poco/Net/TCPServerConnection.h>

#include <string>

class VHProxyDaemon;

// A frame of the link: the text's length (32-bit little-endian) and the
// text.
std::string replyFrame(const std::string& text);

class VHProxyConnection : public Poco::Net::TCPServerConnection {
public:
    VHProxyConnection(const Poco::Net::StreamSocket& socket, VHProxyDaemon& daemon, std::string request,
                      unsigned int userId);
    void run() override;

private:
    bool writeFrame(const std::string& text);

    VHProxyDaemon& daemon_;
    const std::string request_;
    const unsigned int userId_;
};
