#include "TicketRequestHandler.h"

#include "HttpHelpers.h"

#include <Poco/Net/HTMLForm.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/NumberParser.h>
#include <Poco/StringTokenizer.h>
#include <Poco/URI.h>

using Poco::Net::HTTPRequest;
using Poco::Net::HTTPResponse;

void TicketRequestHandler::handleRequest(Poco::Net::HTTPServerRequest& request,
                                         Poco::Net::HTTPServerResponse& response) {
    if (request.getMethod() != HTTPRequest::HTTP_POST) return sendStatus(response, HTTPResponse::HTTP_METHOD_NOT_ALLOWED);
    Poco::Net::HTMLForm form(request, request.stream());
    const std::string uri = form.get("uri", "");

    std::string why;
    std::string path;
    auto session = sessionOf(context_, request);
    if (!session) {
        why = "no valid session cookie";
    } else if (!hasAllowedOrigin(context_, request)) {
        why = "Origin '" + request.get("Origin", "") + "' is not '" + expectedOrigin(context_, request) + "'";
    } else if (form.get("CSRFToken", "") != session->csrfToken) {
        why = "wrong CSRF token";
    } else {
        path = allowedSocketPath(request, *session, uri, why);
    }
    if (path.empty()) {
        context_.logger.notice("Ticket refused for '" + uri + "': " + why);
        return sendStatus(response, HTTPResponse::HTTP_FORBIDDEN);
    }
    context_.logger.debug("Ticket issued for " + path);
    sendBody(response, HTTPResponse::HTTP_OK, "text/plain", context_.tickets.issue(path));
}

std::string TicketRequestHandler::allowedSocketPath(const Poco::Net::HTTPServerRequest& request,
                                                    const SignInSession& session, const std::string& uri,
                                                    std::string& why) const {
    Poco::URI target;
    try {
        target = Poco::URI(uri);
    } catch (const Poco::Exception&) {
        why = "not a URI";
        return std::string();
    }
    // The client names the server by the host of its page, without the port.
    const Poco::URI self(context_.options.scheme() + "://" + request.getHost() + "/");
    if (target.getScheme() != context_.options.scheme() || target.getHost() != self.getHost() ||
        (target.getPort() != self.getPort() && target.getSpecifiedPort() != 0)) {
        why = "another server";
        return std::string();
    }
    const std::string& prefix = context_.options.pathPrefix;
    const std::string path = target.getPath();
    if (path.compare(0, prefix.size() + 1, prefix + "/") != 0) {
        why = "outside " + prefix + "/";
        return std::string();
    }
    Poco::StringTokenizer parts(path.substr(prefix.size()), "/", Poco::StringTokenizer::TOK_IGNORE_EMPTY);
    // ws/desktop/native-ctrl/<client id>, ws/desktop/screen/<client id>/<display>
    // or ws/tunnel/<client id>/<type>/<name, may hold slashes>/<port>/<port>
    const bool desktop = parts.count() >= 4 && parts[0] == "ws" && parts[1] == "desktop";
    const bool control = desktop && parts.count() == 4 && parts[2] == "native-ctrl";
    const bool video = desktop && parts.count() == 5 && parts[2] == "screen";
    const bool tunnel = parts.count() >= 7 && parts[0] == "ws" && parts[1] == "tunnel";
    if (!(control || video || tunnel)) {
        why = "not a desktop or tunnel WebSocket";
        return std::string();
    }
    const std::string& clientId = tunnel ? parts[2] : parts[3];
    auto desk = context_.desks.find(clientId);
    if (!desk || desk->session().id != session.id) {
        why = "client id " + clientId + " is not one of this session's pages";
        return std::string();
    }
    int display = -1;
    if (video && (!Poco::NumberParser::tryParse(parts[4], display) || display < 0 || display >= desk->screenCount())) {
        why = "no screen " + parts[4];
        return std::string();
    }
    int port = 0;
    if (tunnel && ((parts[3] != "0" && parts[3] != "1") || !Poco::NumberParser::tryParse(parts[parts.count() - 2], port) ||
                   !Poco::NumberParser::tryParse(parts[parts.count() - 1], port))) {
        why = "not a tunnel of type 0 or 1 with two port numbers";
        return std::string();
    }
    std::string canonical = prefix;
    for (const std::string& part : parts) canonical += "/" + part;
    if (path != canonical) {
        why = "not a canonical path";
        return std::string();
    }
    return path;
}
