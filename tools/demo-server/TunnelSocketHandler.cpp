#include "TunnelSocketHandler.h"

#include "HttpHelpers.h"
#include "TunnelEnd.h"

#include <iostream>
#include <mutex>

using Poco::Net::WebSocket;

namespace {

// Lines on standard output that tests and scripts read.
void announce(const std::string& line) {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    std::cout << line << std::endl;
}

}  // namespace

void TunnelSocketHandler::handleRequest(Poco::Net::HTTPServerRequest& request,
                                        Poco::Net::HTTPServerResponse& response) {
    const std::string path = requestPath(request);
    const std::string what = "Tunnel " + name_ + " (type " + std::to_string(type_) + ") of desk " + clientId_;
    auto socket = upgradeToWebSocket(context_, request, response, what);
    if (!socket) return;
    try {
        if (!acceptTicket(context_, *socket, path)) {
            context_.logger.notice(what + ": ticket refused");
            return closeWebSocket(*socket, WebSocket::WS_POLICY_VIOLATION, "ticket refused");
        }
        auto desk = context_.desks.find(clientId_);
        // The client's USB tunnel: the remote USB client reaches the
        // client's USB server through it, from a port of our own choice.
        const bool usb = type_ == 0 && name_.compare(0, 6, "VHTun-") == 0;
        const int port = usb ? 0 : type_ == 0 ? context_.options.tunnelPort : context_.options.tunnelTarget;
        if (!desk || port < 0 || (type_ == 1 && port == 0)) {
            context_.logger.notice(what + ": no such desk, or no port for this type (see --tunnel-port and --tunnel-target)");
            return closeWebSocket(*socket, WebSocket::WS_POLICY_VIOLATION, "no tunnel of this type");
        }
        socket->setReceiveTimeout(Poco::Timespan(0));
        TunnelEnd end(*socket, type_, name_, port, context_.logger);
        std::string forwarding;
        if (type_ == 0) {
            if (!end.listen()) return closeWebSocket(*socket, WebSocket::WS_UNEXPECTED_CONDITION, "tunnel port busy");
            forwarding = "connections to 127.0.0.1:" + std::to_string(end.listenPort()) + " go to the client";
            announce("demo-server tunnel " + name_ + " at 127.0.0.1:" + std::to_string(end.listenPort()));
        } else {
            forwarding = "the client's connections go to 127.0.0.1:" + std::to_string(port);
        }
        context_.logger.information(what + ": connected, " + forwarding);
        desk->status("Tunnel " + name_ + ": " + forwarding);
        if (usb) desk->attachUsbTunnel(name_, end.listenPort());
        end.run([&] { return !context_.stopping && !desk->isClosed(); });
        if (usb) desk->detachUsbTunnel(name_);
        desk->status("Tunnel " + name_ + " closed");
    } catch (const Poco::Exception& e) {
        context_.logger.notice(what + ": " + e.displayText());
    }
    closeWebSocket(*socket, WebSocket::WS_NORMAL_CLOSE, "");
    context_.logger.information(what + ": closed");
}
