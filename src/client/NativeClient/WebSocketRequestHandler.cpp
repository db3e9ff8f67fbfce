#include "WebSocketRequestHandler.h"

#include "JsBridge.h"
#include "Logging.h"
#include "NativeClientWebSocketEvent.h"
#include "QorEventThread.h"
#include "QorWebSocket.h"
#include "SimpleErrorHandler.h"
#include "Utilities.h"

#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/WebSocket.h>
#include <Poco/URI.h>

#include <memory>
#include <string>
#include <vector>

namespace qor {

namespace {

void deleteSocket(QorWebSocket* socket) { delete socket; }

[[noreturn]] void reject() {
    throw Poco::Net::WebSocketException("Invalid js-bridge request", Poco::Net::WebSocket::WS_ERR_UNAUTHORIZED);
}

// 400 with an empty body, the answer to a request that is no valid upgrade.
void sendBadRequest(Poco::Net::HTTPServerResponse& response) {
    response.setStatusAndReason(Poco::Net::HTTPResponse::HTTP_BAD_REQUEST);
    response.setContentLength(0);
    response.send();
}

} // namespace

void WebSocketRequestHandler::handleRequest(Poco::Net::HTTPServerRequest& request,
                                            Poco::Net::HTTPServerResponse& response) {
    try {
        const std::string path = Poco::URI(request.getURI()).getPath() + "/";
        const std::vector<std::string> segments = bridgePathSegments(path);
        const int ws = findWsSegment(segments);
        if (segments.size() < 4 || ws < 0) {
            logError("Received invalid WS request, URI = " + path);
            reject();
        }
        // The client id and the prefix go into the request lines of the
        // server connections as they are.
        const std::string clientId = segments[ws + 2];
        bool safe = isSafePathSegment(clientId);
        for (int i = 0; safe && i < ws; ++i) safe = isSafePathSegment(segments[i]);
        if (!safe) {
            logError("Received invalid WS request (unsafe client id or path prefix), URI = " + request.getURI());
            reject();
        }
        // Four segments leave the prefix of an earlier connection as it is.
        std::string joinedPrefix;
        for (int i = 0; i < ws; ++i) joinedPrefix += segments[i] + "/";
        const bool newPrefix = segments.size() >= 5;
        if (!acceptBridgeNonce(segments[ws + 3], newPrefix ? &joinedPrefix : nullptr)) {
            logError("Received invalid WS request (nonce outdated), URI = " + path);
            reject();
        }
        if (newPrefix && isDebugEnabled())
            logDebug("Received server pathPrefix: '" + pathPrefixText(joinedPrefix) + "'");

        std::unique_ptr<Poco::Net::WebSocket> upgraded(new Poco::Net::WebSocket(request, response));
        if (isDebugEnabled()) logDebug("Got URI " + request.getURI() + ", client id " + clientId);
        upgraded->setNoDelay(true);
        NativeClientWebSocketEvent::Socket socket(new QorWebSocket(upgraded.release(), ""), &deleteSocket);
        componentDebug(LogComponentMask::NET | LogComponentMask::SMGNT,
                       "WebSocketRequestHandler: Connected WebSocket to " + socket->peerAddress());
        // A refused event deletes the socket, which closes it.
        if (eventTarget_) eventTarget_->postEvent(new NativeClientWebSocketEvent(std::move(socket), clientId));
    } catch (Poco::Net::WebSocketException& e) {
        logWarning(e.displayText());
        if (response.sent()) return;
        switch (e.code()) {
        case Poco::Net::WebSocket::WS_ERR_HANDSHAKE_UNSUPPORTED_VERSION:
            response.set("Sec-WebSocket-Version", "13");
            sendBadRequest(response);
            break;
        case Poco::Net::WebSocket::WS_ERR_NO_HANDSHAKE:
        case Poco::Net::WebSocket::WS_ERR_HANDSHAKE_NO_VERSION:
        case Poco::Net::WebSocket::WS_ERR_HANDSHAKE_NO_KEY:
            sendBadRequest(response);
            break;
        case Poco::Net::WebSocket::WS_ERR_UNAUTHORIZED:
            // Refused: answer at once and free the server thread.
            response.setKeepAlive(false);
            sendJsonError(response, Poco::Net::HTTPResponse::HTTP_FORBIDDEN);
            break;
        default:
            response.setKeepAlive(false);
            break;
        }
    }
}

} // namespace qor
