// POST resource-ticket: a one-use ticket for one of the signed-in user's
// server WebSockets, after the checks of session cookie, Origin, CSRF token
// and the requested WebSocket address.
#pragma once

#include "DemoContext.h"

#include <Poco/Net/HTTPRequestHandler.h>

#include <string>

class TicketRequestHandler : public Poco::Net::HTTPRequestHandler {
public:
    explicit TicketRequestHandler(DemoContext& context) : context_(context) {}
    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override;

private:
    // The path of the WebSocket address in uri when the session may open it;
    // otherwise empty, with the reason in why.
    std::string allowedSocketPath(const Poco::Net::HTTPServerRequest& request, const SignInSession& session,
                                  const std::string& uri, std::string& why) const;

    DemoContext& context_;
};
