// Small request and response helpers shared by the demo server's handlers.
#pragma once

#include "DemoContext.h"

#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/WebSocket.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

// The decoded path of the request target, which may be an absolute URL.
std::string requestPath(const Poco::Net::HTTPServerRequest& request);
// The signed-in session named by the request's session cookie.
std::optional<SignInSession> sessionOf(DemoContext& context, const Poco::Net::HTTPServerRequest& request);
// The origin a page of this server has: scheme, "://" and the Host header.
std::string expectedOrigin(const DemoContext& context, const Poco::Net::HTTPServerRequest& request);
bool hasAllowedOrigin(const DemoContext& context, const Poco::Net::HTTPServerRequest& request);

void sendBody(Poco::Net::HTTPServerResponse& response, Poco::Net::HTTPResponse::HTTPStatus status,
              const std::string& contentType, const std::string& body);
void sendStatus(Poco::Net::HTTPServerResponse& response, Poco::Net::HTTPResponse::HTTPStatus status);
void redirect(Poco::Net::HTTPServerResponse& response, Poco::Net::HTTPResponse::HTTPStatus status,
              const std::string& location);

// Upgrades the request to a WebSocket; on failure answers 400 and returns null.
std::unique_ptr<Poco::Net::WebSocket> upgradeToWebSocket(DemoContext& context,
                                                         Poco::Net::HTTPServerRequest& request,
                                                         Poco::Net::HTTPServerResponse& response,
                                                         const std::string& what);
void closeWebSocket(Poco::Net::WebSocket& socket, Poco::UInt16 code, const std::string& reason);
// Reads the first frame (10 s at most): a text frame holding a ticket issued
// for exactly this path, which it spends.
bool acceptTicket(DemoContext& context, Poco::Net::WebSocket& socket, const std::string& path);

// Reads text messages until the peer closes, the socket fails or keepGoing
// turns false (tested at least every 250 ms); answers pings. Returns true
// when the peer closed the socket.
bool serveTextMessages(Poco::Net::WebSocket& socket, const std::function<bool()>& keepGoing,
                       const std::function<void(const std::string&)>& onText);
