// Upgrades a screened js-bridge request to the page's WebSocket: checks the
// path and the one-use nonce, spends the nonce (and stores the path prefix
// of the request) in one step, upgrades, and posts the wrapped socket with
// the client id to the event target as a WebSocketConnected event. The
// handler never touches the socket after posting.
//
// Answers: a short path, a client id or path prefix that cannot stand in a
// server request line (isSafePathSegment), or a wrong nonce gets 403 with the JSON error body
// and the connection is closed; a request that is no valid upgrade gets 400
// without a body (with "Sec-WebSocket-Version: 13" for a wrong version).
#pragma once

#include <Poco/Net/HTTPRequestHandler.h>

namespace qor {

class QorEventThread;

class WebSocketRequestHandler : public Poco::Net::HTTPRequestHandler {
public:
    // Without a target an upgraded socket is closed again.
    explicit WebSocketRequestHandler(QorEventThread* eventTarget) : eventTarget_(eventTarget) {}
    ~WebSocketRequestHandler() override = default;

    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override;

private:
    QorEventThread* eventTarget_;
};

} // namespace qor
