#include "RequestHandlerFactory.h"

#include "JsBridge.h"
#include "Logging.h"
#include "RequestHeadDeadline.h"
#include "SimpleErrorHandler.h"
#include "WebSocketRequestHandler.h"

#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/URI.h>

namespace qor {

Poco::Net::HTTPRequestHandler* RequestHandlerFactory::createRequestHandler(
    const Poco::Net::HTTPServerRequest& request) {
    if (headDeadline_) headDeadline_->release(RequestHeadDeadline::keyOf(request.clientAddress()));
    const std::string& method = request.getMethod();
    const std::string blocked = "Blocking HTTP " + method + " request from: '" + request.getURI() + "', Status: ";
    if (method != Poco::Net::HTTPRequest::HTTP_GET && method != Poco::Net::HTTPRequest::HTTP_POST &&
        method != Poco::Net::HTTPRequest::HTTP_HEAD) {
        logWarning(blocked + "405");
        return new SimpleErrorHandler(Poco::Net::HTTPResponse::HTTP_METHOD_NOT_ALLOWED);
    }
    const Poco::URI uri(request.getURI());
    if (!isLoopbackClient(request.clientAddress().host())) {
        logWarning(blocked + "403");
        return new SimpleErrorHandler(Poco::Net::HTTPResponse::HTTP_FORBIDDEN);
    }
    if (findWsSegment(uri.getPath()) < 0) {
        logWarning(blocked + "400");
        return new SimpleErrorHandler(Poco::Net::HTTPResponse::HTTP_BAD_REQUEST);
    }
    return new WebSocketRequestHandler(eventTarget_);
}

} // namespace qor
