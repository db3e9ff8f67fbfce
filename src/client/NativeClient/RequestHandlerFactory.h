// Screens each request of the js-bridge: only GET, POST and HEAD (else 405),
// only loopback clients (else 403), only a bridge path (else 400); what
// passes goes to a WebSocketRequestHandler. The HTTP server deletes the
// handlers after use.
#pragma once

#include <Poco/Net/HTTPRequestHandlerFactory.h>

namespace qor {

class QorEventThread;

class RequestHandlerFactory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    // eventTarget receives the accepted WebSockets (see WebSocketRequestHandler).
    explicit RequestHandlerFactory(QorEventThread* eventTarget) : eventTarget_(eventTarget) {}
    ~RequestHandlerFactory() override = default;

    Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest& request) override;

private:
    QorEventThread* eventTarget_;
};

} // namespace qor
