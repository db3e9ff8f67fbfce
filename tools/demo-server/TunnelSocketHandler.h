// The WebSocket of a port tunnel, ws/tunnel/<client id>/<type>/<name>/<port
// B>/<port C>: opened with POST or GET, it must present a ticket for its
// exact path as the first text frame; then the server's end of the tunnel
// runs on it (TunnelEnd) with the ports of the server's own options.
#pragma once

#include "DemoContext.h"

#include <Poco/Net/HTTPRequestHandler.h>

#include <string>

class TunnelSocketHandler : public Poco::Net::HTTPRequestHandler {
public:
    TunnelSocketHandler(DemoContext& context, std::string clientId, int type, std::string name)
        : context_(context), clientId_(std::move(clientId)), type_(type), name_(std::move(name)) {}
    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override;

private:
    DemoContext& context_;
    const std::string clientId_;
    const int type_;
    const std::string name_;
};
