#include "PageSocketHandler.h"

#include "HttpHelpers.h"
#include "RandomToken.h"

#include <Poco/JSON/Object.h>

using Poco::Net::HTTPResponse;

void PageSocketHandler::handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) {
    auto session = sessionOf(context_, request);
    if (!session || !hasAllowedOrigin(context_, request)) {
        context_.logger.notice(std::string("Page socket refused: ") + (session ? "wrong Origin" : "not signed in"));
        return sendStatus(response, HTTPResponse::HTTP_FORBIDDEN);
    }
    auto socket = upgradeToWebSocket(context_, request, response, "Page socket");
    if (!socket) return;

    auto desk = std::make_shared<Desk>("qd" + randomToken(9), *session, context_.options, context_.streams,
                                       context_.logger);
    context_.desks.add(desk);
    desk->attachPage(socket.get());
    context_.logger.information("Desk " + desk->clientId() + ": page of '" + session->user + "' connected from " +
                                socket->peerAddress().toString());

    Poco::JSON::Object::Ptr hello = new Poco::JSON::Object(Poco::JSON_PRESERVE_KEY_ORDER);
    hello->set("kind", "hello");
    hello->set("clientId", desk->clientId());
    hello->set("screens", desk->screenCount());
    hello->set("user", session->user);
    hello->set("guest", session->guest);
    desk->sendToPage(hello);

    try {
        serveTextMessages(
            *socket, [&] { return !context_.stopping && !desk->isClosed(); },
            [&](const std::string& text) { desk->handlePageMessage(text); });
    } catch (const Poco::Exception& e) {
        context_.logger.notice("Desk " + desk->clientId() + ": page socket failed: " + e.displayText());
    }
    desk->detachPage();
    desk->close();
    context_.desks.remove(desk->clientId());
    closeWebSocket(*socket, Poco::Net::WebSocket::WS_NORMAL_CLOSE, "desk closed");
    context_.logger.information("Desk " + desk->clientId() + ": page disconnected");
}
