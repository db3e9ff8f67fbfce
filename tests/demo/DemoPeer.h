// Plays the browser page and the client against a running demo server:
// plain HTTP requests, sign-in, ticket requests, the page socket and the
// client's WebSockets (opened with POST, as the client opens them).
#pragma once

#include <Poco/JSON/Object.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/WebSocket.h>

#include <functional>
#include <map>
#include <memory>
#include <string>

class DemoServerProcess;

struct HttpReply {
    int status = 0;
    std::string body;
    std::map<std::string, std::string> headers;  // the last value of each name
    std::string setCookie;                        // all Set-Cookie values, joined by "\n"
};

struct TicketRequest {
    std::string uri;
    std::string csrfToken;
    std::string origin;       // no header when empty
    std::string cookieName;
    std::string cookieValue;  // no cookie when empty
    std::string method = "POST";
};

class DemoPeer {
public:
    DemoPeer(const DemoServerProcess& server, std::string prefix);

    std::string origin() const;  // scheme://127.0.0.1:PORT
    const std::string& prefix() const { return prefix_; }
    std::string cookieName() const;
    // The WebSocket address the client puts into a ticket request: scheme,
    // host, prefix and path, without the port.
    std::string socketUrl(const std::string& path) const;

    HttpReply get(const std::string& pathAndQuery, bool withCookie = true);
    HttpReply postForm(const std::string& path, const std::string& formBody, bool withCookie = true);
    // Signs in and keeps the session cookie; true when the server set it.
    bool signIn(const std::string& user, const std::string& password);
    bool signInAsGuest(const std::string& name);
    const std::string& sessionId() const { return sessionId_; }
    // Takes over a session that was signed in elsewhere (e.g. in a browser).
    void useSession(const std::string& sessionId) { sessionId_ = sessionId; }
    // The CSRF token of the desk page.
    std::string csrfToken();
    // A ticket request made with this peer's cookie, token and origin.
    TicketRequest ticketRequest(const std::string& socketPath);
    HttpReply requestTicket(const TicketRequest& request);

    std::unique_ptr<Poco::Net::WebSocket> openPageSocket();
    // Opens path with the method, sends the ticket as the first text frame.
    std::unique_ptr<Poco::Net::WebSocket> openDesktopSocket(const std::string& path, const std::string& ticket,
                                                            const std::string& method = "POST");
    // Ticket plus socket in one step; fails the test when the ticket is refused.
    std::unique_ptr<Poco::Net::WebSocket> connectDesktopSocket(const std::string& path);

private:
    std::unique_ptr<Poco::Net::HTTPClientSession> session() const;
    bool takeSessionCookie(const HttpReply& reply);

    int port_;
    bool secure_;
    std::string prefix_;
    std::string sessionId_;
};

// Receives one JSON text message (10 s time-out); null on close or time-out.
Poco::JSON::Object::Ptr receiveJson(Poco::Net::WebSocket& socket);
void sendJson(Poco::Net::WebSocket& socket, const std::string& text);
// Reads messages until one satisfies the predicate; at most maxMessages.
Poco::JSON::Object::Ptr receiveJsonUntil(Poco::Net::WebSocket& socket,
                                         const std::function<bool(const Poco::JSON::Object::Ptr&)>& wanted,
                                         int maxMessages = 200);
// The next relayed control message of the type on the page socket.
Poco::JSON::Object::Ptr receiveRelay(Poco::Net::WebSocket& pageSocket, int type);
// One binary message (10 s time-out); false on close or time-out.
bool receiveBinary(Poco::Net::WebSocket& socket, std::string& payload);
// Waits for a close frame; returns its status code, -1 when none came.
int receiveCloseCode(Poco::Net::WebSocket& socket);
