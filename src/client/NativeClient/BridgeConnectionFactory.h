// Makes the js-bridge's connections (BridgeConnection) for its TCP server:
// what POCO's HTTP server does, plus the time limit on each request head.
#pragma once

#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/TCPServerConnectionFactory.h>

#include <memory>

namespace qor {

class RequestHeadDeadline;

class BridgeConnectionFactory : public Poco::Net::TCPServerConnectionFactory {
public:
    BridgeConnectionFactory(Poco::Net::HTTPServerParams::Ptr params, Poco::Net::HTTPRequestHandlerFactory::Ptr handlers,
                            std::shared_ptr<RequestHeadDeadline> deadline);

    Poco::Net::TCPServerConnection* createConnection(const Poco::Net::StreamSocket& socket) override;

private:
    Poco::Net::HTTPServerParams::Ptr params_;
    Poco::Net::HTTPRequestHandlerFactory::Ptr handlers_;
    std::shared_ptr<RequestHeadDeadline> deadline_;
};

} // namespace qor
