// Answers a refused js-bridge request with its status and a JSON body:
// {"success": false, "error": "<reason phrase>"}.
#pragma once

#include <Poco/Net/HTTPRequestHandler.h>

#include <cstdint>

namespace Poco {
namespace Net {
class HTTPServerResponse;
}
} // namespace Poco

namespace qor {

class SimpleErrorHandler : public Poco::Net::HTTPRequestHandler {
public:
    explicit SimpleErrorHandler(std::int32_t httpStatus) : status(httpStatus) {}
    ~SimpleErrorHandler() override = default;

    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override;

    // 400, 403 or 405.
    const std::int32_t status;
};

// Sends the status with its standard reason phrase, the content type
// "application/json" and the JSON error body (no body for HEAD).
void sendJsonError(Poco::Net::HTTPServerResponse& response, std::int32_t status);

} // namespace qor
