#include "DemoPeer.h"

#include "DemoServerProcess.h"

#include <Poco/Buffer.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/AcceptCertificateHandler.h>
#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPCookie.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPSClientSession.h>
#include <Poco/Net/NameValueCollection.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SSLManager.h>
#include <Poco/StreamCopier.h>
#include <Poco/URI.h>

#include <gtest/gtest.h>

#include <mutex>

using Poco::Net::HTTPRequest;
using Poco::Net::HTTPResponse;
using Poco::Net::WebSocket;

namespace {

Poco::Net::Context::Ptr clientContext() {
    static std::once_flag once;
    static Poco::Net::Context::Ptr context;
    std::call_once(once, [] {
        Poco::Net::initializeSSL();
        context = new Poco::Net::Context(Poco::Net::Context::CLIENT_USE, "", "", "", Poco::Net::Context::VERIFY_NONE,
                                         9, false, "ALL:!ADH:!LOW:!EXP:!MD5:@STRENGTH");
        Poco::SharedPtr<Poco::Net::InvalidCertificateHandler> accept = new Poco::Net::AcceptCertificateHandler(false);
        Poco::Net::SSLManager::instance().initializeClient(nullptr, accept, context);
    });
    return context;
}

HttpReply readReply(Poco::Net::HTTPClientSession& session, HTTPResponse& response) {
    HttpReply reply;
    std::istream& in = session.receiveResponse(response);
    Poco::StreamCopier::copyToString(in, reply.body);
    reply.status = response.getStatus();
    for (const auto& header : response) {
        reply.headers[header.first] = header.second;
        if (Poco::icompare(header.first, "Set-Cookie") == 0)
            reply.setCookie += (reply.setCookie.empty() ? "" : "\n") + header.second;
    }
    return reply;
}

}  // namespace

DemoPeer::DemoPeer(const DemoServerProcess& server, std::string prefix)
    : port_(server.port()), secure_(server.secure()), prefix_(std::move(prefix)) {}

std::string DemoPeer::origin() const {
    return std::string(secure_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::string DemoPeer::cookieName() const { return secure_ ? "SID" : "httpSID"; }

std::string DemoPeer::socketUrl(const std::string& path) const {
    return std::string(secure_ ? "https" : "http") + "://127.0.0.1" + prefix_ + path;
}

std::unique_ptr<Poco::Net::HTTPClientSession> DemoPeer::session() const {
    std::unique_ptr<Poco::Net::HTTPClientSession> s;
    if (secure_) {
        s = std::make_unique<Poco::Net::HTTPSClientSession>("127.0.0.1", static_cast<Poco::UInt16>(port_),
                                                            clientContext());
    } else {
        s = std::make_unique<Poco::Net::HTTPClientSession>("127.0.0.1", static_cast<Poco::UInt16>(port_));
    }
    s->setTimeout(Poco::Timespan(20, 0));
    return s;
}

HttpReply DemoPeer::get(const std::string& pathAndQuery, bool withCookie) {
    auto s = session();
    HTTPRequest request(HTTPRequest::HTTP_GET, prefix_ + pathAndQuery, HTTPRequest::HTTP_1_1);
    if (withCookie && !sessionId_.empty()) {
        Poco::Net::NameValueCollection cookies;
        cookies.add(cookieName(), sessionId_);
        request.setCookies(cookies);
    }
    s->sendRequest(request);
    HTTPResponse response;
    return readReply(*s, response);
}

HttpReply DemoPeer::postForm(const std::string& path, const std::string& formBody, bool withCookie) {
    auto s = session();
    HTTPRequest request(HTTPRequest::HTTP_POST, prefix_ + path, HTTPRequest::HTTP_1_1);
    request.setContentType("application/x-www-form-urlencoded");
    request.setContentLength(static_cast<std::streamsize>(formBody.size()));
    if (withCookie && !sessionId_.empty()) {
        Poco::Net::NameValueCollection cookies;
        cookies.add(cookieName(), sessionId_);
        request.setCookies(cookies);
    }
    s->sendRequest(request) << formBody;
    HTTPResponse response;
    return readReply(*s, response);
}

bool DemoPeer::signIn(const std::string& user, const std::string& password) {
    std::string form = "username=", encoded;
    Poco::URI::encode(user, "&=+", encoded);
    form += encoded + "&password=";
    encoded.clear();
    Poco::URI::encode(password, "&=+", encoded);
    form += encoded;
    return takeSessionCookie(postForm("/signin", form, false));
}

bool DemoPeer::signInAsGuest(const std::string& name) {
    std::string encoded;
    Poco::URI::encode(name, "&=+", encoded);
    return takeSessionCookie(postForm("/guest-signin", "username=" + encoded, false));
}

bool DemoPeer::takeSessionCookie(const HttpReply& reply) {
    const std::string marker = cookieName() + "=";
    const auto at = reply.setCookie.find(marker);
    if (reply.status != 303 || at != 0) return false;
    sessionId_ = reply.setCookie.substr(marker.size(), reply.setCookie.find(';') - marker.size());
    return !sessionId_.empty();
}

std::string DemoPeer::csrfToken() {
    const HttpReply page = get("/quarrydesk.html");
    const std::string marker = "<meta name=\"CSRFToken\" content=\"";
    const auto at = page.body.find(marker);
    if (at == std::string::npos) return std::string();
    const auto start = at + marker.size();
    return page.body.substr(start, page.body.find('"', start) - start);
}

TicketRequest DemoPeer::ticketRequest(const std::string& socketPath) {
    return TicketRequest{socketUrl(socketPath), csrfToken(), origin(), cookieName(), sessionId_};
}

HttpReply DemoPeer::requestTicket(const TicketRequest& ticket) {
    auto s = session();
    HTTPRequest request(ticket.method, prefix_ + "/resource-ticket", HTTPRequest::HTTP_1_1);
    std::string body = "uri=", encoded;
    Poco::URI::encode(ticket.uri, "!#$&'()*+,/:;=?@[]", encoded);
    body += encoded + "&CSRFToken=";
    encoded.clear();
    Poco::URI::encode(ticket.csrfToken, "!#$&'()*+,/:;=?@[]", encoded);
    body += encoded;
    request.setContentType("application/x-www-form-urlencoded");
    request.setContentLength(static_cast<std::streamsize>(body.size()));
    if (!ticket.origin.empty()) request.set("Origin", ticket.origin);
    if (!ticket.cookieValue.empty()) {
        Poco::Net::NameValueCollection cookies;
        cookies.add(ticket.cookieName, ticket.cookieValue);
        request.setCookies(cookies);
    }
    s->sendRequest(request) << body;
    HTTPResponse response;
    return readReply(*s, response);
}

std::unique_ptr<WebSocket> DemoPeer::openPageSocket() {
    auto s = session();
    HTTPRequest request(HTTPRequest::HTTP_GET, prefix_ + "/ws/page", HTTPRequest::HTTP_1_1);
    request.set("Origin", origin());
    Poco::Net::NameValueCollection cookies;
    cookies.add(cookieName(), sessionId_);
    request.setCookies(cookies);
    HTTPResponse response;
    auto socket = std::make_unique<WebSocket>(*s, request, response);
    socket->setReceiveTimeout(Poco::Timespan(10, 0));
    return socket;
}

std::unique_ptr<WebSocket> DemoPeer::openDesktopSocket(const std::string& path, const std::string& ticket,
                                                       const std::string& method) {
    auto s = session();
    // As the client does: the absolute address (no port) as the request target.
    HTTPRequest request(method, socketUrl(path), HTTPRequest::HTTP_1_1);
    request.set("Origin", origin());
    Poco::Net::NameValueCollection cookies;
    cookies.add(cookieName(), sessionId_);
    request.setCookies(cookies);
    HTTPResponse response;
    auto socket = std::make_unique<WebSocket>(*s, request, response);
    socket->setReceiveTimeout(Poco::Timespan(10, 0));
    socket->sendFrame(ticket.data(), static_cast<int>(ticket.size()), WebSocket::FRAME_TEXT);
    return socket;
}

std::unique_ptr<WebSocket> DemoPeer::connectDesktopSocket(const std::string& path) {
    const HttpReply ticket = requestTicket(ticketRequest(path));
    EXPECT_EQ(200, ticket.status) << "ticket for " << path;
    return openDesktopSocket(path, ticket.body);
}

namespace {

// The payload of the next frame with the opcode, skipping other frames;
// false on a close, the end of the stream or a receive time-out.
bool receiveFrameOf(WebSocket& socket, int wantedOpcode, std::string& payload) {
    Poco::Buffer<char> buffer(0);
    for (;;) {
        int flags = 0;
        buffer.resize(0);
        int n = 0;
        try {
            n = socket.receiveFrame(buffer, flags);
        } catch (const Poco::TimeoutException&) {
            return false;
        }
        const int opcode = flags & WebSocket::FRAME_OP_BITMASK;
        if (opcode == WebSocket::FRAME_OP_CLOSE || (n == 0 && flags == 0)) return false;
        if (opcode != wantedOpcode) continue;
        payload.assign(buffer.begin(), static_cast<std::size_t>(n));
        return true;
    }
}

} // namespace

Poco::JSON::Object::Ptr receiveJson(WebSocket& socket) {
    std::string text;
    if (!receiveFrameOf(socket, WebSocket::FRAME_OP_TEXT, text)) return nullptr;
    Poco::JSON::Parser parser;
    return parser.parse(text).extract<Poco::JSON::Object::Ptr>();
}

void sendJson(WebSocket& socket, const std::string& text) {
    socket.sendFrame(text.data(), static_cast<int>(text.size()), WebSocket::FRAME_TEXT);
}

Poco::JSON::Object::Ptr receiveJsonUntil(WebSocket& socket,
                                         const std::function<bool(const Poco::JSON::Object::Ptr&)>& wanted,
                                         int maxMessages) {
    for (int i = 0; i < maxMessages; ++i) {
        auto message = receiveJson(socket);
        if (!message) return nullptr;
        if (wanted(message)) return message;
    }
    return nullptr;
}

Poco::JSON::Object::Ptr receiveRelay(WebSocket& pageSocket, int type) {
    auto envelope = receiveJsonUntil(pageSocket, [type](const Poco::JSON::Object::Ptr& m) {
        return m->optValue<std::string>("kind", "") == "relay" && m->getObject("message")->optValue<int>("type", -1) == type;
    });
    return envelope ? envelope->getObject("message") : nullptr;
}

bool receiveBinary(WebSocket& socket, std::string& payload) {
    return receiveFrameOf(socket, WebSocket::FRAME_OP_BINARY, payload);
}

int receiveCloseCode(WebSocket& socket) {
    Poco::Buffer<char> buffer(0);
    for (int frames = 0; frames < 10000; ++frames) {
        int flags = 0;
        buffer.resize(0);
        int n = 0;
        try {
            n = socket.receiveFrame(buffer, flags);
        } catch (const Poco::Exception&) {
            return -1;
        }
        if ((flags & WebSocket::FRAME_OP_BITMASK) == WebSocket::FRAME_OP_CLOSE) {
            return n >= 2 ? (static_cast<unsigned char>(buffer[0]) << 8) | static_cast<unsigned char>(buffer[1]) : 0;
        }
        if (n == 0 && flags == 0) return -1;
    }
    return -1;
}
