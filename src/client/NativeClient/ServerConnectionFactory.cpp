#include "ServerConnectionFactory.h"

#include "ClientSettings.h"
#include "Logging.h"
#include "NativeClient.h"
#include "QorWebSocket.h"
#include "ServerCertificateCheck.h"
#include "ServerConnectionValues.h"
#include "TunnelPath.h"
#include "Utilities.h"

#include <Poco/Exception.h>
#include <Poco/Net/HTMLForm.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPSClientSession.h>
#include <Poco/Net/NameValueCollection.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/WebSocket.h>

#include <atomic>
#include <cerrno>
#include <memory>

namespace qor {

namespace {

// The first HTTP session of the process logs where it connects.
std::atomic<bool> sessionLogPending{true};

constexpr int TICKET_TIMEOUT_S = 20;
constexpr int FIRST_RECEIVE_TIMEOUT_MS = 4000;
constexpr std::streamsize TICKET_BLOCK = 8192;

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::string lastErrorText() { return windowsErrorText(static_cast<unsigned int>(errno)); }

std::uint16_t currentPort() { return static_cast<std::uint16_t>(serverPort.load()); }

// The session cookie of the signed-in page, for every request.
Poco::Net::NameValueCollection sessionCookies() {
    Poco::Net::NameValueCollection cookies;
    cookies.add(sessionCookieName(serverIsSecure.load()), sessionCookieValue());
    return cookies;
}

} // namespace

ServerConnectionFactory::ServerConnectionFactory(const std::string& host) : host_(host) {
    if (!serverIsSecure.load()) return;
    if (isDebugEnabled()) logDebug("Initializing ssl session");
}

ServerConnectionFactory::~ServerConnectionFactory() = default;

QorWebSocket* ServerConnectionFactory::connectCtrlSocket(const std::string& clientId) {
    if (isDebugEnabled()) logDebug("Control connection request to server (" + host_ + ")");
    return connectWebSocket(clientId, "/ws/desktop/native-ctrl/" + clientId);
}

QorWebSocket* ServerConnectionFactory::openVideoSocket(const std::string& clientId, int display) {
    if (isDebugEnabled())
        logDebug("Video connection request to server (" + host_ + ") for session '" + std::to_string(display) + "'");
    return connectWebSocket(clientId, "/ws/desktop/screen/" + clientId + "/" + std::to_string(display));
}

QorWebSocket* ServerConnectionFactory::connectTunnelSocket(const std::string& clientId, int type,
                                                           const std::string& name, int portB, int portC) {
    if (isDebugEnabled()) logDebug("Tunnel connection request to server");
    const std::string path = buildTunnelPath(clientId, type, name, portB, portC);
    return connectWebSocket(clientId, path);
}

ServerConnectionFactory::Addresses ServerConnectionFactory::buildAddresses(const std::string& path) const {
    const bool secure = serverIsSecure.load();
    const std::string scheme = secure ? "https" : "http";
    const std::string hostText = normalizeServerAddress(host_);
    const std::string prefix = currentServerPathPrefix();
    const std::string base = scheme + "://" + hostText + prefix;
    Addresses addresses;
    addresses.webSocketUrl = base + path;
    addresses.ticketTarget = prefix + "/resource-ticket";
    addresses.origin = scheme + "://" + hostText;
    const int port = serverPort.load();
    if (port != (secure ? 443 : 80)) addresses.origin += ":" + std::to_string(port);
    return addresses;
}

Poco::Net::HTTPClientSession* ServerConnectionFactory::openServerSession() {
    const bool logPending = sessionLogPending.exchange(false);
    const std::string where = "server '" + host_ + "' at port " + std::to_string(serverPort.load());
    Poco::Net::HTTPClientSession* session = nullptr;
    if (serverIsSecure.load()) {
        context_ = ServerCertificateCheck::newClientContext(host_);
        if (logPending) componentDebug(LogComponentMask::SMGNT, "Connecting securely to " + where);
        session = new Poco::Net::HTTPSClientSession(host_, currentPort(), context_);
    } else {
        if (logPending) componentDebug(LogComponentMask::SMGNT, "Connecting to " + where);
        session = new Poco::Net::HTTPClientSession(host_, currentPort());
    }
    if (logPending) componentDebug(LogComponentMask::NET, "Connected to " + where);
    return session;
}

QorWebSocket* ServerConnectionFactory::connectWebSocket(const std::string& clientId, const std::string& path) {
    const Addresses addresses = buildAddresses(path);
    componentDebug(LogComponentMask::NET, "Connecting websocket to " + addresses.webSocketUrl);
    const std::string ticket = requestTicket(addresses);
    if (ticket.empty()) return nullptr;
    return openWebSocket(addresses, clientId, ticket);
}

std::string ServerConnectionFactory::requestTicket(const Addresses& addresses) {
    std::unique_ptr<Poco::Net::HTTPClientSession> session(openServerSession());
    Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_POST, addresses.ticketTarget,
                                   Poco::Net::HTTPMessage::HTTP_1_1);
    request.setCookies(sessionCookies());
    Poco::Net::HTMLForm form(Poco::Net::HTMLForm::ENCODING_URL);
    form.add("uri", addresses.webSocketUrl);
    form.add("CSRFToken", NativeClient::instance()->csrfToken());
    form.prepareSubmit(request);
    request.set("Origin", addresses.origin);
    componentDebug(LogComponentMask::NET | LogComponentMask::AUTH,
                   "Requesting authToken for URI '" + addresses.webSocketUrl + "', origin " + addresses.origin);

    const std::string failure = "Error retrieving authToken from server: ";
    try {
        session->setTimeout(Poco::Timespan(TICKET_TIMEOUT_S, 0));
        form.write(session->sendRequest(request));
        Poco::Net::HTTPResponse response;
        std::istream& body = session->receiveResponse(response);
        const std::streamsize length = response.getContentLength();
        if (response.getStatus() != Poco::Net::HTTPResponse::HTTP_OK || length < 1) {
            logNotice("Received " + std::to_string(static_cast<int>(response.getStatus())) +
                      " status during authTokenRequest, response length: " + std::to_string(length));
            return std::string();
        }
        if (length > static_cast<std::streamsize>(MAX_TICKET_BYTES)) {
            logError("Refusing authToken of " + std::to_string(length) + " bytes from server, at most " +
                     std::to_string(MAX_TICKET_BYTES) + " are accepted");
            return std::string();
        }
        std::string ticket;
        char block[TICKET_BLOCK];
        while (body.read(block, sizeof block) || body.gcount() > 0) ticket.append(block, body.gcount());
        return ticket;
    } catch (const Poco::Net::NetException& e) {
        if (!e.message().empty())
            logCritical(failure + quoted(e.message()) + " " + std::to_string(e.code()));
        else
            logCritical(failure + "'" + std::to_string(e.code()) + "'");
    } catch (const Poco::Exception& e) {
        logCritical(failure + quoted(e.message()));
    } catch (...) {
        logCritical(failure + lastErrorText());
    }
    return std::string();
}

QorWebSocket* ServerConnectionFactory::openWebSocket(const Addresses& addresses, const std::string& clientId,
                                                     const std::string& ticket) {
    std::unique_ptr<Poco::Net::HTTPClientSession> session(openServerSession());
    Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_POST, addresses.webSocketUrl,
                                   Poco::Net::HTTPMessage::HTTP_1_1);
    request.setCookies(sessionCookies());
    request.set("Origin", addresses.origin);

    std::unique_ptr<QorWebSocket> socket;
    try {
        session->setTimeout(Poco::Timespan(TICKET_TIMEOUT_S, 0));
        Poco::Net::HTTPResponse response;
        socket.reset(new QorWebSocket(new Poco::Net::WebSocket(*session, request, response), clientId));
        socket->setReceiveTimeout(FIRST_RECEIVE_TIMEOUT_MS);
        // Small frames go at once: a control message or a tunnel's short
        // frame must not wait for the acknowledgement of the one before.
        socket->socket()->setNoDelay(true);
    } catch (const Poco::Exception& e) {
        logHandshakeFailure(e);
        if (!socket) return nullptr;
    } catch (...) {
        logCritical("Can't establish any connection to server: " + lastErrorText());
        if (!socket) return nullptr;
    }

    // A ticket that does not reach the server whole cannot open the
    // connection: the server would wait for it until it gives up. A failure
    // here stays inside the factory like every other connection failure.
    int sent = -1;
    std::string reason;
    try {
        sent = socket->sendText(ticket.data(), static_cast<int>(ticket.size()));
    } catch (const Poco::Exception& e) {
        reason = " (" + e.displayText() + ")";
    }
    if (sent < static_cast<int>(ticket.size())) {
        logError("Can't send auth message to server, " + lastErrorText() + reason);
        return nullptr;
    }
    componentDebug(LogComponentMask::NET, "WebSocket " + addresses.webSocketUrl + " connected");
    return socket.release();
}

void ServerConnectionFactory::logHandshakeFailure(const Poco::Exception& e) {
    const std::string code = " " + std::to_string(e.code());
    if (dynamic_cast<const Poco::Net::WebSocketException*>(&e))
        logCritical("Can't establish web socket connection to server: " + quoted(e.message()) + code);
    else if (dynamic_cast<const Poco::Net::NetException*>(&e))
        logCritical("Can't establish socket connection to server: " + quoted(e.message()) + code);
    else
        logCritical("Can't establish network connection to server: " + quoted(e.message()));
}

} // namespace qor
