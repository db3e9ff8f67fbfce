// One connection to the daemon whose request frame has come (the listener
// reads it): the peer's user is found, then the request is answered with
// one frame; the connection is closed either way. A peer whose user cannot
// be found (it closed its end, say) gets nothing; a user the daemon does
// not allow gets the refusal, and nothing of the request is carried out.
#pragma once

#include <Poco/Net/TCPServerConnection.h>

#include <string>

class VHProxyDaemon;

class VHProxyConnection : public Poco::Net::TCPServerConnection {
public:
    VHProxyConnection(const Poco::Net::StreamSocket& socket, VHProxyDaemon& daemon, std::string request);
    void run() override;
    // The exchange with a peer of that user (run, once the user is known).
    void serve(unsigned int userId);

private:
    bool writeFrame(const std::string& text);

    VHProxyDaemon& daemon_;
    const std::string request_;
};
