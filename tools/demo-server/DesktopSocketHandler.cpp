#include "DesktopSocketHandler.h"

#include "HttpHelpers.h"

#include <Poco/Buffer.h>
#include <Poco/Net/NetException.h>

using Poco::Net::WebSocket;

namespace {
constexpr Poco::UInt16 kPolicyViolation = WebSocket::WS_POLICY_VIOLATION;
}

void DesktopSocketHandler::handleRequest(Poco::Net::HTTPServerRequest& request,
                                         Poco::Net::HTTPServerResponse& response) {
    const std::string path = requestPath(request);
    const std::string what = display_ < 0 ? "Control socket " + clientId_
                                          : "Video socket " + clientId_ + "/" + std::to_string(display_);
    context_.logger.debug(what + ": " + request.getMethod() + " upgrade from " + request.clientAddress().toString());
    auto socket = upgradeToWebSocket(context_, request, response, what);
    if (!socket) return;
    try {
        if (!acceptTicket(context_, *socket, path)) {
            context_.logger.notice(what + ": ticket refused");
            return closeWebSocket(*socket, kPolicyViolation, "ticket refused");
        }
        auto desk = context_.desks.find(clientId_);
        const bool claimed = desk && (display_ < 0 ? desk->claimControl() : desk->claimVideo(display_));
        if (!claimed) {
            context_.logger.notice(what + ": no such desk or screen, or already connected");
            return closeWebSocket(*socket, kPolicyViolation, "not available");
        }
        context_.logger.information(what + ": connected");
        if (display_ < 0) {
            serveControl(*socket, *desk);
        } else {
            serveVideo(*socket, *desk);
        }
    } catch (const Poco::Exception& e) {
        context_.logger.notice(what + ": " + e.displayText());
    }
    closeWebSocket(*socket, WebSocket::WS_NORMAL_CLOSE, "");
    context_.logger.information(what + ": closed");
}

void DesktopSocketHandler::serveControl(WebSocket& socket, Desk& desk) {
    desk.startScreens();
    try {
        serveTextMessages(
            socket, [&] { return !context_.stopping && !desk.isClosed(); },
            [&](const std::string& text) { desk.handleClientMessage(text); });
    } catch (...) {
        desk.releaseControl();
        throw;
    }
    desk.releaseControl();
}

void DesktopSocketHandler::serveVideo(WebSocket& socket, Desk& desk) {
    socket.setSendTimeout(Poco::Timespan(10, 0));
    desk.streamVideo(display_, socket, context_.stopping);
}
