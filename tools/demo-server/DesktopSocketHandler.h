// The client's WebSockets: the control socket (ws/desktop/native-ctrl/<client
// id>) and the video socket of one screen (ws/desktop/screen/<client
// id>/<display>). Both are opened with POST or GET and must present a ticket
// for their exact path as the first text frame.
#pragma once

#include "DemoContext.h"

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/WebSocket.h>

#include <string>

class DesktopSocketHandler : public Poco::Net::HTTPRequestHandler {
public:
    // display -1: the control socket.
    DesktopSocketHandler(DemoContext& context, std::string clientId, int display)
        : context_(context), clientId_(std::move(clientId)), display_(display) {}
    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override;

private:
    void serveControl(Poco::Net::WebSocket& socket, Desk& desk);
    void serveVideo(Poco::Net::WebSocket& socket, Desk& desk);

    DemoContext& context_;
    const std::string clientId_;
    const int display_;
};
