#include "WebSocketAcceptor.h"

#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/NetException.h>

#include <chrono>

namespace {

class UpgradeHandler : public Poco::Net::HTTPRequestHandler {
public:
    explicit UpgradeHandler(WebSocketAcceptor& owner) : owner_(owner) {}
    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override {
        try {
            owner_.push(new Poco::Net::WebSocket(request, response));
        } catch (const Poco::Net::WebSocketException&) {
            response.setStatusAndReason(Poco::Net::HTTPResponse::HTTP_BAD_REQUEST);
            response.setContentLength(0);
            response.send();
        }
    }

private:
    WebSocketAcceptor& owner_;
};

class UpgradeHandlerFactory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    explicit UpgradeHandlerFactory(WebSocketAcceptor& owner) : owner_(owner) {}
    Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest&) override {
        return new UpgradeHandler(owner_);
    }

private:
    WebSocketAcceptor& owner_;
};

} // namespace

WebSocketAcceptor::WebSocketAcceptor()
    : WebSocketAcceptor(Poco::Net::ServerSocket(Poco::Net::SocketAddress("127.0.0.1", 0))) {}

WebSocketAcceptor::WebSocketAcceptor(const Poco::Net::ServerSocket& socket) : socket_(socket) {
    server_.reset(
        new Poco::Net::HTTPServer(new UpgradeHandlerFactory(*this), threads_, socket_, new Poco::Net::HTTPServerParams));
    server_->start();
}

WebSocketAcceptor::~WebSocketAcceptor() {
    server_->stopAll(true);
    threads_.joinAll();
}

int WebSocketAcceptor::port() const { return socket_.address().port(); }

std::string WebSocketAcceptor::url() const { return "ws://127.0.0.1:" + std::to_string(port()) + "/ws"; }

void WebSocketAcceptor::push(Poco::Net::WebSocket* socket) {
    std::lock_guard<std::mutex> lock(mutex_);
    sockets_.emplace_back(socket);
    arrived_.notify_all();
}

Poco::Net::WebSocket* WebSocketAcceptor::waitForSocket(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !sockets_.empty(); }))
        return nullptr;
    Poco::Net::WebSocket* socket = sockets_.front().release();
    sockets_.pop_front();
    return socket;
}

Poco::Net::WebSocket* connectPocoWebSocket(const std::string& host, int port, const std::string& path) {
    Poco::Net::HTTPClientSession session(host, static_cast<Poco::UInt16>(port));
    session.setTimeout(Poco::Timespan(20, 0));
    Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, path, Poco::Net::HTTPRequest::HTTP_1_1);
    Poco::Net::HTTPResponse response;
    return new Poco::Net::WebSocket(session, request, response);
}
