#include "BridgeConnectionFactory.h"

#include "BridgeConnection.h"

#include <utility>

namespace qor {

BridgeConnectionFactory::BridgeConnectionFactory(Poco::Net::HTTPServerParams::Ptr params,
                                                 Poco::Net::HTTPRequestHandlerFactory::Ptr handlers,
                                                 std::shared_ptr<RequestHeadDeadline> deadline)
    : params_(std::move(params)), handlers_(std::move(handlers)), deadline_(std::move(deadline)) {}

Poco::Net::TCPServerConnection* BridgeConnectionFactory::createConnection(const Poco::Net::StreamSocket& socket) {
    return new BridgeConnection(socket, params_, handlers_, deadline_);
}

} // namespace qor
