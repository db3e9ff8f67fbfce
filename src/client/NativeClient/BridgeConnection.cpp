#include "BridgeConnection.h"

#include "RequestHeadDeadline.h"

#include <Poco/Net/HTTPServerConnection.h>

#include <string>
#include <utility>

namespace qor {

namespace {

// Ends the watch however the connection ends; the request handler factory
// ends it earlier, as soon as the head has been read.
class Watch {
public:
    Watch(RequestHeadDeadline& deadline, const Poco::Net::StreamSocket& socket)
        : deadline_(deadline), key_(deadline.watch(socket)) {}
    ~Watch() { deadline_.release(key_); }
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

private:
    RequestHeadDeadline& deadline_;
    const std::string key_;
};

} // namespace

BridgeConnection::BridgeConnection(const Poco::Net::StreamSocket& socket, Poco::Net::HTTPServerParams::Ptr params,
                                   Poco::Net::HTTPRequestHandlerFactory::Ptr handlers,
                                   std::shared_ptr<RequestHeadDeadline> deadline)
    : TCPServerConnection(socket), params_(std::move(params)), handlers_(std::move(handlers)),
      deadline_(std::move(deadline)) {}

void BridgeConnection::run() {
    Watch watch(*deadline_, socket());
    Poco::Net::HTTPServerConnection http(socket(), params_, handlers_);
    http.run();
}

} // namespace qor
