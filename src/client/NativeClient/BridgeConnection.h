// One connection of the js-bridge: POCO's HTTP connection (one request, then
// the upgraded socket leaves it or the connection ends), with the request
// head's time limit running from the moment this server thread took it.
#pragma once

#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/TCPServerConnection.h>

#include <memory>

namespace qor {

class RequestHeadDeadline;

class BridgeConnection : public Poco::Net::TCPServerConnection {
public:
    BridgeConnection(const Poco::Net::StreamSocket& socket, Poco::Net::HTTPServerParams::Ptr params,
                     Poco::Net::HTTPRequestHandlerFactory::Ptr handlers, std::shared_ptr<RequestHeadDeadline> deadline);

    void run() override;

private:
    Poco::Net::HTTPServerParams::Ptr params_;
    Poco::Net::HTTPRequestHandlerFactory::Ptr handlers_;
    std::shared_ptr<RequestHeadDeadline> deadline_;
};

} // namespace qor
