#include "SimpleErrorHandler.h"

#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPServerResponse.h>

#include <string>

namespace qor {

void SimpleErrorHandler::handleRequest(Poco::Net::HTTPServerRequest&, Poco::Net::HTTPServerResponse& response) {
    sendJsonError(response, status);
}

void sendJsonError(Poco::Net::HTTPServerResponse& response, std::int32_t status) {
    const auto httpStatus = static_cast<Poco::Net::HTTPResponse::HTTPStatus>(status);
    const std::string reason = Poco::Net::HTTPResponse::getReasonForStatus(httpStatus);
    const std::string body = "{\"success\": false, \"error\": \"" + reason + "\"}";
    response.setStatusAndReason(httpStatus, reason);
    response.setContentType("application/json");
    response.setContentLength(static_cast<std::streamsize>(body.size()));
    // For HEAD the server's stream takes the header only.
    response.send() << body;
}

} // namespace qor
