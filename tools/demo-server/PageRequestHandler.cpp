#include "PageRequestHandler.h"

#include "HttpHelpers.h"
#include "PageAssets.h"

#include <Poco/Net/HTMLForm.h>
#include <Poco/NumberParser.h>
#include <Poco/URI.h>

using Poco::Net::HTTPRequest;
using Poco::Net::HTTPResponse;

namespace {
const char* const kHtml = "text/html; charset=utf-8";

bool queryItem(const Poco::Net::HTTPServerRequest& request, const std::string& name, std::string& value) {
    try {
        for (const auto& item : Poco::URI(request.getURI()).getQueryParameters()) {
            if (item.first == name) {
                value = item.second;
                return true;
            }
        }
    } catch (const Poco::Exception&) {
    }
    return false;
}
}  // namespace

void PageRequestHandler::handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) {
    const std::string& method = request.getMethod();
    if (page_ == "/signin" || page_ == "/guest-signin") {
        if (method != HTTPRequest::HTTP_POST) return sendStatus(response, HTTPResponse::HTTP_METHOD_NOT_ALLOWED);
        return signIn(request, response, page_ == "/guest-signin");
    }
    if (method != HTTPRequest::HTTP_GET && method != HTTPRequest::HTTP_HEAD)
        return sendStatus(response, HTTPResponse::HTTP_METHOD_NOT_ALLOWED);

    if (page_ == "/" || page_.empty()) {
        return redirect(response, HTTPResponse::HTTP_FOUND,
                        location(sessionOf(context_, request) ? "quarrydesk.html" : "signin.html"));
    }
    std::string failed;
    if (page_ == "/signin.html")
        return sendBody(response, HTTPResponse::HTTP_OK, kHtml,
                        signInPage(queryItem(request, "failed", failed) ? "Wrong user name or password." : ""));
    if (page_ == "/guest-signin.html")
        return sendBody(response, HTTPResponse::HTTP_OK, kHtml,
                        guestSignInPage(queryItem(request, "failed", failed) ? "Please give a name." : ""));
    if (page_ == "/signout.html") return signOut(request, response);
    if (page_ == "/quarrydesk.html") return desk(request, response);
    if (page_ == "/demo-page.js")
        return sendBody(response, HTTPResponse::HTTP_OK, "text/javascript; charset=utf-8", pageScript());
    if (page_ == "/demo.css") return sendBody(response, HTTPResponse::HTTP_OK, "text/css; charset=utf-8", styleSheet());
    sendStatus(response, HTTPResponse::HTTP_NOT_FOUND);
}

void PageRequestHandler::signIn(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response,
                                bool guest) {
    Poco::Net::HTMLForm form(request, request.stream());
    const std::string user = form.get("username", "");
    const std::string password = form.get("password", "");
    const bool accepted = guest ? !user.empty() : (user == context_.options.user && password == context_.options.password);
    if (!accepted) {
        context_.logger.notice(std::string(guest ? "Guest sign-in" : "Sign-in") + " refused for user '" + user + "'");
        return redirect(response, HTTPResponse::HTTP_SEE_OTHER,
                        location(guest ? "guest-signin.html?failed=1" : "signin.html?failed=1"));
    }
    const SignInSession session = context_.sessions.create(user, guest);
    context_.logger.information(std::string(guest ? "Guest '" : "User '") + user + "' signed in");
    response.add("Set-Cookie", cookie(session.id, false));
    redirect(response, HTTPResponse::HTTP_SEE_OTHER, location("quarrydesk.html"));
}

void PageRequestHandler::signOut(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) {
    if (auto session = sessionOf(context_, request)) {
        context_.sessions.remove(session->id);
        context_.logger.information("User '" + session->user + "' signed out");
    }
    response.add("Set-Cookie", cookie("", true));
    sendBody(response, HTTPResponse::HTTP_OK, kHtml, signedOutPage());
}

void PageRequestHandler::desk(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) {
    const int screens = static_cast<int>(context_.streams.size());
    std::string screenText;
    int screen = 0;
    if (queryItem(request, "screen", screenText)) {
        // A screen window's page: only a canvas, no secrets, so no session needed.
        if (!Poco::NumberParser::tryParse(screenText, screen) || screen < 0 || screen >= screens)
            return sendStatus(response, HTTPResponse::HTTP_NOT_FOUND);
        const StreamFormat& format = context_.streams[static_cast<std::size_t>(screen)]->format();
        return sendBody(response, HTTPResponse::HTTP_OK, kHtml, deskPage("", screen, format.width, format.height));
    }
    auto session = sessionOf(context_, request);
    if (!session) return redirect(response, HTTPResponse::HTTP_FOUND, location("signin.html"));
    const StreamFormat& format = context_.streams[0]->format();
    sendBody(response, HTTPResponse::HTTP_OK, kHtml, deskPage(session->csrfToken, -1, format.width, format.height));
}

std::string PageRequestHandler::cookie(const std::string& value, bool expire) const {
    std::string text = context_.options.sessionCookieName() + "=" + value + "; Path=" + context_.options.pathPrefix +
                       "/; HttpOnly; SameSite=Lax";
    if (context_.options.secure()) text += "; Secure";
    if (expire) text += "; Max-Age=0";
    return text;
}
