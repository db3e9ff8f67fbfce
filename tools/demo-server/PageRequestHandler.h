// Pages, sign-in, guest sign-in and sign-out.
#pragma once

#include "DemoContext.h"

#include <Poco/Net/HTTPRequestHandler.h>

class PageRequestHandler : public Poco::Net::HTTPRequestHandler {
public:
    // page: the path below the prefix, beginning with "/".
    PageRequestHandler(DemoContext& context, std::string page) : context_(context), page_(std::move(page)) {}
    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override;

private:
    void signIn(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response, bool guest);
    void signOut(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response);
    void desk(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response);
    std::string cookie(const std::string& value, bool expire) const;
    std::string location(const std::string& page) const { return context_.options.pathPrefix + "/" + page; }

    DemoContext& context_;
    const std::string page_;
};
