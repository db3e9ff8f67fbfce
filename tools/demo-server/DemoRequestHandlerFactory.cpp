#include "DemoRequestHandlerFactory.h"

#include "DesktopSocketHandler.h"
#include "HttpHelpers.h"
#include "PageRequestHandler.h"
#include "PageSocketHandler.h"
#include "TicketRequestHandler.h"
#include "TunnelSocketHandler.h"

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/NumberParser.h>
#include <Poco/StringTokenizer.h>

namespace {

class StatusHandler : public Poco::Net::HTTPRequestHandler {
public:
    explicit StatusHandler(Poco::Net::HTTPResponse::HTTPStatus status) : status_(status) {}
    void handleRequest(Poco::Net::HTTPServerRequest&, Poco::Net::HTTPServerResponse& response) override {
        sendStatus(response, status_);
    }

private:
    Poco::Net::HTTPResponse::HTTPStatus status_;
};

}  // namespace

Poco::Net::HTTPRequestHandler* DemoRequestHandlerFactory::createRequestHandler(
    const Poco::Net::HTTPServerRequest& request) {
    const std::string path = requestPath(request);
    context_.logger.debug(request.getMethod() + " " + request.getURI() + " from " + request.clientAddress().toString());
    const std::string& prefix = context_.options.pathPrefix;
    if (!prefix.empty() && path == prefix) return new PageRequestHandler(context_, "/");
    if (path.compare(0, prefix.size() + 1, prefix + "/") != 0)
        return new StatusHandler(Poco::Net::HTTPResponse::HTTP_NOT_FOUND);
    const std::string page = path.substr(prefix.size());

    if (page == "/resource-ticket") return new TicketRequestHandler(context_);
    if (page == "/ws/page") return new PageSocketHandler(context_);
    Poco::StringTokenizer parts(page, "/", Poco::StringTokenizer::TOK_IGNORE_EMPTY);
    if (parts.count() >= 4 && parts[0] == "ws" && parts[1] == "desktop") {
        int display = -1;
        if (parts.count() == 4 && parts[2] == "native-ctrl") return new DesktopSocketHandler(context_, parts[3], -1);
        if (parts.count() == 5 && parts[2] == "screen" && Poco::NumberParser::tryParse(parts[4], display) && display >= 0)
            return new DesktopSocketHandler(context_, parts[3], display);
        return new StatusHandler(Poco::Net::HTTPResponse::HTTP_NOT_FOUND);
    }
    // ws/tunnel/<client id>/<type>/<name, may hold slashes>/<port B>/<port C>
    if (parts.count() >= 7 && parts[0] == "ws" && parts[1] == "tunnel") {
        int type = -1;
        if (!Poco::NumberParser::tryParse(parts[3], type) || (type != 0 && type != 1))
            return new StatusHandler(Poco::Net::HTTPResponse::HTTP_NOT_FOUND);
        std::string name = parts[4];
        for (std::size_t i = 5; i + 2 < parts.count(); ++i) name += "/" + parts[i];
        return new TunnelSocketHandler(context_, parts[2], type, name);
    }
    return new PageRequestHandler(context_, page);
}
