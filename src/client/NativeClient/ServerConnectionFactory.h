// Opens the WebSockets of one server connection: control, video of a screen
// and port tunnels. Each one takes a ticket first (POST "/resource-ticket"
// with the WebSocket's address and the page's CSRF token), then makes the
// WebSocket handshake and sends the ticket as the first text frame. Both
// requests carry the session cookie and an Origin header. Over https each
// session checks the server's certificate by the trust the web side decided
// for the host (ServerCertificateCheck).
#pragma once

#include <Poco/Net/Context.h>

#include <string>

namespace Poco {
class Exception;
namespace Net {
class HTTPClientSession;
}
} // namespace Poco

namespace qor {

class QorWebSocket;

class ServerConnectionFactory {
public:
    // The longest ticket taken from the server; a longer one fails the
    // connection before its body is read.
    static constexpr int MAX_TICKET_BYTES = 8192;

    explicit ServerConnectionFactory(const std::string& host);
    ~ServerConnectionFactory();
    ServerConnectionFactory(const ServerConnectionFactory&) = delete;
    ServerConnectionFactory& operator=(const ServerConnectionFactory&) = delete;

    // Each returns the open socket (the caller owns it) or null after logging.
    QorWebSocket* connectCtrlSocket(const std::string& clientId);
    QorWebSocket* openVideoSocket(const std::string& clientId, int display);
    QorWebSocket* connectTunnelSocket(const std::string& clientId, int type, const std::string& name, int portB,
                                      int portC);
    QorWebSocket* connectWebSocket(const std::string& clientId, const std::string& path);

    // A new HTTP or HTTPS session for the host at serverPort; the caller
    // deletes it.
    Poco::Net::HTTPClientSession* openServerSession();

    // The address texts of one WebSocket, from the process-wide values.
    struct Addresses {
        std::string webSocketUrl;
        std::string ticketTarget;
        std::string origin;
    };
    Addresses buildAddresses(const std::string& path) const;

    const std::string& host() const { return host_; }

private:
    // Sends the ticket request; the ticket text, or "" after logging.
    std::string requestTicket(const Addresses& addresses);
    // The handshake and the ticket frame; the socket, or null after logging.
    QorWebSocket* openWebSocket(const Addresses& addresses, const std::string& clientId, const std::string& ticket);
    static void logHandshakeFailure(const Poco::Exception& e);

    std::string host_;
    Poco::Net::Context::Ptr context_;
};

} // namespace qor
