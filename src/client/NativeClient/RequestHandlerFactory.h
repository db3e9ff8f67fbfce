// Screens each request of the js-bridge: only GET, POST and HEAD (else 405),
// only loopback clients (else 403), only a bridge path (else 400); what
// passes goes to a WebSocketRequestHandler. The HTTP server deletes the
// handlers after use. A request that reaches the factory has its head
// read whole: its connection's head time limit ends here.
#pragma once

#include <Poco/Net/HTTPRequestHandlerFactory.h>

#include <memory>
#include <utility>

namespace qor {

class QorEventThread;
class RequestHeadDeadline;

class RequestHandlerFactory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    // eventTarget receives the accepted WebSockets (see WebSocketRequestHandler).
    // headDeadline (may be null) watches the connections' request heads.
    explicit RequestHandlerFactory(QorEventThread* eventTarget,
                                   std::shared_ptr<RequestHeadDeadline> headDeadline = nullptr)
        : eventTarget_(eventTarget), headDeadline_(std::move(headDeadline)) {}
    ~RequestHandlerFactory() override = default;

    Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest& request) override;

private:
    QorEventThread* eventTarget_;
    std::shared_ptr<RequestHeadDeadline> headDeadline_;
};

} // namespace qor
