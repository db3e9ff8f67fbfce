#include "FakeServer.h"

#include "TestPaths.h"

#include <Poco/Net/Context.h>
#include <Poco/Net/HTMLForm.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SecureServerSocket.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/StreamCopier.h>
#include <Poco/Thread.h>

#include <chrono>
#include <sstream>
#include <stdexcept>

namespace {

class Handler : public Poco::Net::HTTPRequestHandler {
public:
    explicit Handler(FakeServer& server) : server_(server) {}

    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override {
        RecordedRequest recorded;
        recorded.method = request.getMethod();
        recorded.target = request.getURI();
        recorded.cookie = request.get("Cookie", "");
        recorded.origin = request.get("Origin", "");
        recorded.contentType = request.getContentType();
        const FakeServer::Answer answer = server_.answer();
        const bool upgrade = request.has("Upgrade");
        if (!upgrade) {
            Poco::StreamCopier::copyToString(request.stream(), recorded.body);
            Poco::Net::HTMLForm form;
            std::istringstream body(recorded.body);
            form.load(request, body);
            for (const auto& item : form) recorded.form[item.first] = item.second;
            server_.record(recorded);
            if (answer.delayMs > 0) Poco::Thread::sleep(answer.delayMs);
            response.setStatus(static_cast<Poco::Net::HTTPResponse::HTTPStatus>(answer.status));
            response.setContentLength(static_cast<std::streamsize>(answer.body.size()));
            response.send() << answer.body;
            return;
        }
        server_.record(recorded);
        if (answer.upgrade == FakeServer::Upgrade::REFUSE) {
            response.setStatus(Poco::Net::HTTPResponse::HTTP_NOT_FOUND);
            response.setContentLength(0);
            response.send();
            return;
        }
        AcceptedSocket accepted;
        accepted.target = recorded.target;
        accepted.socket.reset(new Poco::Net::WebSocket(request, response));
        if (answer.upgrade == FakeServer::Upgrade::HANG_UP) {
            accepted.socket->close();
            return;
        }
        accepted.ticket = readTextFrame(*accepted.socket, 10000);
        server_.push(std::move(accepted));
    }

private:
    FakeServer& server_;
};

class Factory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    explicit Factory(FakeServer& server) : server_(server) {}
    Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest&) override {
        return new Handler(server_);
    }

private:
    FakeServer& server_;
};

} // namespace

FakeServer::FakeServer(bool secure, TempDir* tempDir) {
    if (!secure) {
        start(Poco::Net::ServerSocket(Poco::Net::SocketAddress("127.0.0.1", 0)));
        return;
    }
    if (tempDir == nullptr) throw std::invalid_argument("a secure server needs a directory");
    startSecure(selfSignedCertificate(tempDir->path(), "server"));
}

FakeServer::FakeServer(const CertificateFiles& certificate) { startSecure(certificate); }

void FakeServer::startSecure(const CertificateFiles& certificate) {
    certificate_ = certificate;
    Poco::Net::Context::Ptr context = new Poco::Net::Context(Poco::Net::Context::SERVER_USE, certificate.key,
                                                             certificate.certificate, "", Poco::Net::Context::VERIFY_NONE);
    start(Poco::Net::SecureServerSocket(Poco::Net::SocketAddress("127.0.0.1", 0), 64, context));
}

void FakeServer::start(const Poco::Net::ServerSocket& socket) {
    port_ = socket.address().port();
    Poco::Net::HTTPServerParams::Ptr params = new Poco::Net::HTTPServerParams;
    params->setMaxThreads(8);
    server_.reset(new Poco::Net::HTTPServer(new Factory(*this), threads_, socket, params));
    server_->start();
}

FakeServer::~FakeServer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sockets_.clear();
    }
    server_->stopAll(true);
    threads_.joinAll();
}

void FakeServer::setTicketAnswer(int status, const std::string& body) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_.status = status;
    answer_.body = body;
}

void FakeServer::setTicketDelay(int ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_.delayMs = ms;
}

void FakeServer::setUpgrade(Upgrade mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_.upgrade = mode;
}

FakeServer::Answer FakeServer::answer() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return answer_;
}

std::vector<RecordedRequest> FakeServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

bool FakeServer::waitForRequests(std::size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return requests_.size() >= count; });
}

void FakeServer::record(RecordedRequest request) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(std::move(request));
    changed_.notify_all();
}

void FakeServer::push(AcceptedSocket accepted) {
    std::lock_guard<std::mutex> lock(mutex_);
    sockets_.push_back(std::move(accepted));
    changed_.notify_all();
}

AcceptedSocket FakeServer::waitForSocket(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    AcceptedSocket result;
    if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !sockets_.empty(); }))
        return result;
    result = std::move(sockets_.front());
    sockets_.pop_front();
    return result;
}

std::string readTextFrame(Poco::Net::WebSocket& socket, int timeoutMs) {
    socket.setReceiveTimeout(Poco::Timespan(timeoutMs / 1000, (timeoutMs % 1000) * 1000));
    std::string buffer(1 << 20, '\0');
    try {
        for (;;) {
            int flags = 0;
            const int n = socket.receiveFrame(&buffer[0], static_cast<int>(buffer.size()), flags);
            const int opcode = flags & Poco::Net::WebSocket::FRAME_OP_BITMASK;
            if (n <= 0 && (flags == 0 || opcode == Poco::Net::WebSocket::FRAME_OP_CLOSE)) return std::string();
            if (opcode == Poco::Net::WebSocket::FRAME_OP_CLOSE) return std::string();
            if (opcode == Poco::Net::WebSocket::FRAME_OP_TEXT || opcode == Poco::Net::WebSocket::FRAME_OP_BINARY)
                return buffer.substr(0, static_cast<std::size_t>(n));
        }
    } catch (const Poco::Exception&) {
        return std::string();
    }
}

std::string readFrameContaining(Poco::Net::WebSocket& socket, const std::string& fragment, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        const std::string text = readTextFrame(socket, static_cast<int>(std::max<long long>(left, 1)));
        if (text.empty()) return std::string();
        if (text.find(fragment) != std::string::npos) return text;
    }
    return std::string();
}

void sendTextFrame(Poco::Net::WebSocket& socket, const std::string& text) {
    socket.sendFrame(text.data(), static_cast<int>(text.size()), Poco::Net::WebSocket::FRAME_TEXT);
}
