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
    // ws/desktop/native-ctrl/<client id>  or  ws/desktop/screen/<client id>/<display>
    const bool control = parts.count() == 4 && parts[2] == "native-ctrl";
    const bool video = parts.count() == 5 && parts[2] == "screen";
    if (!(control || video) || parts[0] != "ws" || parts[1] != "desktop") {
        why = "not a desktop WebSocket";
        return std::string();
    }
    auto desk = context_.desks.find(parts[3]);
    if (!desk || desk->session().id != session.id) {
        why = "client id " + parts[3] + " is not one of this session's pages";
        return std::string();
    }
    int display = -1;
    if (video && (!Poco::NumberParser::tryParse(parts[4], display) || display < 0 || display >= desk->screenCount())) {
        why = "no screen " + parts[4];
        return std::string();
    }
    if (path != prefix + "/" + parts[0] + "/" + parts[1] + "/" + parts[2] + "/" + parts[3] + (video ? "/" + parts[4] : "")) {
        why = "not a canonical path";
        return std::string();
    }
    return path;
}
