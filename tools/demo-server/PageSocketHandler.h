// The desk page's own WebSocket (GET ws/page): creates the desk with a new
// client id, says hello, and carries relayed control messages, statistics
// and the page's reports (see the page-socket messages in README.md).
#pragma once

#include "DemoContext.h"

#include <Poco/Net/HTTPRequestHandler.h>

class PageSocketHandler : public Poco::Net::HTTPRequestHandler {
public:
    explicit PageSocketHandler(DemoContext& context) : context_(context) {}
    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override;

private:
    DemoContext& context_;
};
