#include "HttpHelpers.h"

#include <Poco/Buffer.h>
#include <Poco/Net/NameValueCollection.h>
#include <Poco/Net/NetException.h>
#include <Poco/URI.h>

using Poco::Net::HTTPResponse;
using Poco::Net::WebSocket;

namespace {
// Pages and clients send small JSON messages; anything larger is refused.
constexpr int kMaxIncomingMessage = 1 << 20;
}  // namespace

std::string requestPath(const Poco::Net::HTTPServerRequest& request) {
    try {
        return Poco::URI(request.getURI()).getPath();
    } catch (const Poco::Exception&) {
        return std::string();
    }
}

std::optional<SignInSession> sessionOf(DemoContext& context, const Poco::Net::HTTPServerRequest& request) {
    Poco::Net::NameValueCollection cookies;
    request.getCookies(cookies);
    const std::string id = cookies.get(context.options.sessionCookieName(), "");
    return context.sessions.find(id);
}

std::string expectedOrigin(const DemoContext& context, const Poco::Net::HTTPServerRequest& request) {
    return context.options.scheme() + "://" + request.getHost();
}

bool hasAllowedOrigin(const DemoContext& context, const Poco::Net::HTTPServerRequest& request) {
    if (!request.has("Origin")) return false;
    // Compared as scheme, host and port, so that "http://h" and "http://h:80" agree.
    try {
        const Poco::URI origin(request.get("Origin"));
        const Poco::URI self(expectedOrigin(context, request));
        return origin.getPathEtc().empty() && origin.getUserInfo().empty() && origin.getScheme() == self.getScheme() &&
               origin.getHost() == self.getHost() && origin.getPort() == self.getPort();
    } catch (const Poco::Exception&) {
        return false;
    }
}

void sendBody(Poco::Net::HTTPServerResponse& response, HTTPResponse::HTTPStatus status,
              const std::string& contentType, const std::string& body) {
    response.setStatusAndReason(status);
    response.setContentType(contentType);
    response.set("Cache-Control", "no-store");
    response.setContentLength(static_cast<std::streamsize>(body.size()));
    response.send() << body;
}

void sendStatus(Poco::Net::HTTPServerResponse& response, HTTPResponse::HTTPStatus status) {
    sendBody(response, status, "text/plain", HTTPResponse::getReasonForStatus(status) + "\n");
}

void redirect(Poco::Net::HTTPServerResponse& response, HTTPResponse::HTTPStatus status, const std::string& location) {
    response.set("Location", location);
    sendStatus(response, status);
}

std::unique_ptr<WebSocket> upgradeToWebSocket(DemoContext& context, Poco::Net::HTTPServerRequest& request,
                                              Poco::Net::HTTPServerResponse& response, const std::string& what) {
    try {
        auto socket = std::make_unique<WebSocket>(request, response);
        socket->setNoDelay(true);
        socket->setMaxPayloadSize(kMaxIncomingMessage);
        return socket;
    } catch (const Poco::Net::WebSocketException& e) {
        context.logger.warning(what + ": WebSocket upgrade failed: " + e.displayText());
        if (!response.sent()) {
            response.setStatusAndReason(HTTPResponse::HTTP_BAD_REQUEST);
            if (e.code() == WebSocket::WS_ERR_HANDSHAKE_UNSUPPORTED_VERSION)
                response.set("Sec-WebSocket-Version", WebSocket::WEBSOCKET_VERSION);
            response.setContentLength(0);
            response.send();
        }
        return nullptr;
    }
}

void closeWebSocket(WebSocket& socket, Poco::UInt16 code, const std::string& reason) {
    try {
        std::string payload;
        payload.push_back(static_cast<char>(code >> 8));
        payload.push_back(static_cast<char>(code & 0xff));
        payload += reason;
        socket.sendFrame(payload.data(), static_cast<int>(payload.size()),
                         WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_CLOSE);
        socket.shutdown();
    } catch (const Poco::Exception&) {
        // The peer is gone already.
    }
}

bool acceptTicket(DemoContext& context, WebSocket& socket, const std::string& path) {
    socket.setReceiveTimeout(Poco::Timespan(10, 0));
    Poco::Buffer<char> buffer(0);
    int flags = 0;
    const int n = socket.receiveFrame(buffer, flags);
    if ((flags & WebSocket::FRAME_OP_BITMASK) != WebSocket::FRAME_OP_TEXT || n <= 0) return false;
    return context.tickets.redeem(std::string(buffer.begin(), static_cast<std::size_t>(n)), path);
}

bool serveTextMessages(WebSocket& socket, const std::function<bool()>& keepGoing,
                       const std::function<void(const std::string&)>& onText) {
    Poco::Buffer<char> buffer(0);
    std::string message;
    while (keepGoing()) {
        if (!socket.poll(Poco::Timespan(0, 250000), Poco::Net::Socket::SELECT_READ)) continue;
        int flags = 0;
        buffer.resize(0);
        const int n = socket.receiveFrame(buffer, flags);
        const int opcode = flags & WebSocket::FRAME_OP_BITMASK;
        if (opcode == WebSocket::FRAME_OP_CLOSE || (n == 0 && flags == 0)) return true;
        if (opcode == WebSocket::FRAME_OP_PING) {
            socket.sendFrame(buffer.begin(), n, WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_PONG);
            continue;
        }
        if (opcode == WebSocket::FRAME_OP_PONG) continue;
        message.append(buffer.begin(), static_cast<std::size_t>(n));
        if (message.size() > static_cast<std::size_t>(kMaxIncomingMessage))
            throw Poco::Net::WebSocketException("message too large", WebSocket::WS_ERR_PAYLOAD_TOO_BIG);
        if (flags & WebSocket::FRAME_FLAG_FIN) {
            onText(message);
            message.clear();
        }
    }
    return false;
}
