// One connection to the daemon: the peer's user is found, then one
// request frame is read (at most 1 MiB, within 5 s) and answered with one
// frame; the connection is closed either way. A peer whose user cannot be
// found (it closed its end, say) gets nothing; a user the daemon does not
// allow gets the refusal, and nothing of the request is carried out.
#pragma once

#include <Poco/Net/TCPServerConnection.h>

class VHProxyDaemon;

class VHProxyConnection : public Poco::Net::TCPServerConnection {
public:
    VHProxyConnection(const Poco::Net::StreamSocket& socket, VHProxyDaemon& daemon);
    void run() override;
    // The exchange with a peer of that user (run, once the user is known).
    void serve(unsigned int userId);

private:
    bool readFrame(std::string& text);
    bool writeFrame(const std::string& text);

    VHProxyDaemon& daemon_;
};
