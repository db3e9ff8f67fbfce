// Routes the requests below the path prefix to the demo server's handlers.
#pragma once

#include "DemoContext.h"

#include <Poco/Net/HTTPRequestHandlerFactory.h>

class DemoRequestHandlerFactory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    explicit DemoRequestHandlerFactory(DemoContext& context) : context_(context) {}
    Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest& request) override;

private:
    DemoContext& context_;
};
