#include "ConnectionFixture.h"
#include "Logging.h"
#include "NativeClient.h"
#include "QorWebSocket.h"
#include "ServerConnectionFactory.h"
#include "JsBridge.h"
#include "ServerConnectionValues.h"

#include <functional>
#include <memory>
#include <utility>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

using namespace qor;

namespace {

class Factory : public ConnectionTest {};

struct AddressCase {
    bool secure;
    int port;
    const char* host;
    const char* prefix;
    const char* webSocketUrl;
    const char* ticketTarget;
    const char* origin;
};

} // namespace

TEST_F(Factory, AddressesFollowSchemePortHostAndPrefix) {
    const AddressCase cases[] = {
        {true, 443, "desk.example", "", "https://desk.example/ws/x", "/resource-ticket", "https://desk.example"},
        {true, 8443, "desk.example", "", "https://desk.example/ws/x", "/resource-ticket", "https://desk.example:8443"},
        {false, 80, "desk.example", "", "http://desk.example/ws/x", "/resource-ticket", "http://desk.example"},
        {false, 8080, "10.1.2.3", "a/b/", "http://10.1.2.3/a/b/ws/x", "/a/b/resource-ticket", "http://10.1.2.3:8080"},
        {true, 443, "fe80::1", "", "https://[fe80::1]/ws/x", "/resource-ticket", "https://[fe80::1]"},
        {false, 80, "desk.example:81", "", "http://desk.example:81/ws/x", "/resource-ticket", "http://desk.example:81"},
    };
    for (const AddressCase& c : cases) {
        serverIsSecure.store(c.secure);
        serverPort.store(c.port);
        setServerPathPrefix(c.prefix);
        serverIsSecure.store(false);  // the constructor sets TLS up only for https
        ServerConnectionFactory factory(c.host);
        serverIsSecure.store(c.secure);
        const ServerConnectionFactory::Addresses addresses = factory.buildAddresses("/ws/x");
        EXPECT_EQ(addresses.webSocketUrl, c.webSocketUrl) << c.host;
        EXPECT_EQ(addresses.ticketTarget, c.ticketTarget) << c.host;
        EXPECT_EQ(addresses.origin, c.origin) << c.host << ":" << c.port;
    }
    setServerPathPrefix("");
}

// The control socket over http and https: the ticket request with its form
// items, cookie and Origin, then the upgrade with POST and the ticket as the
// first frame.
TEST_F(Factory, ControlSocketTakesTicketAndSendsItFirst) {
    for (bool secure : {false, true}) {
        SCOPED_TRACE(secure ? "https" : "http");
        useServer(secure);
        setServerPathPrefix("a/b/");
        server->setTicketAnswer(200, "ticket-" + std::string(secure ? "s" : "p"));
        ServerConnectionFactory factory("127.0.0.1");
        std::unique_ptr<QorWebSocket> socket(factory.connectCtrlSocket("client-7"));
        ASSERT_NE(socket, nullptr) << server->requests().size();
        EXPECT_EQ(socket->label(), "client-7");

        const std::string scheme = secure ? "https" : "http";
        const std::string url = scheme + "://127.0.0.1/a/b/ws/desktop/native-ctrl/client-7";
        const std::string origin = scheme + "://127.0.0.1:" + std::to_string(server->port());
        const std::string cookie = std::string(secure ? "SID" : "httpSID") + "=cookie-1";
        const std::vector<RecordedRequest> requests = server->requests();
        ASSERT_EQ(requests.size(), 2u);
        const RecordedRequest& ticket = requests[0];
        EXPECT_EQ(ticket.method, "POST");
        EXPECT_EQ(ticket.target, "/a/b/resource-ticket");
        EXPECT_EQ(ticket.cookie, cookie);
        EXPECT_EQ(ticket.origin, origin);
        EXPECT_EQ(ticket.contentType, "application/x-www-form-urlencoded");
        EXPECT_EQ(ticket.form.at("uri"), url);
        EXPECT_EQ(ticket.form.at("CSRFToken"), "csrf-1");
        EXPECT_LT(ticket.body.find("uri="), ticket.body.find("CSRFToken=")) << ticket.body;
        const RecordedRequest& upgrade = requests[1];
        EXPECT_EQ(upgrade.method, "POST");
        EXPECT_EQ(upgrade.target, url);
        EXPECT_EQ(upgrade.cookie, cookie);
        EXPECT_EQ(upgrade.origin, origin);

        AcceptedSocket accepted = server->waitForSocket(20000);
        EXPECT_EQ(accepted.ticket, "ticket-" + std::string(secure ? "s" : "p"));
        EXPECT_TRUE(log.contains("Requesting authToken for URI '" + url + "', origin " + origin));
        EXPECT_TRUE(log.contains("WebSocket " + url + " connected"));
        setServerPathPrefix("");
    }
}

TEST_F(Factory, VideoAndTunnelPaths) {
    useServer(false);
    ServerConnectionFactory factory("127.0.0.1");
    std::unique_ptr<QorWebSocket> video(factory.openVideoSocket("c1", 3));
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(server->waitForSocket(20000).target, "http://127.0.0.1/ws/desktop/screen/c1/3");
    std::unique_ptr<QorWebSocket> tunnel(factory.connectTunnelSocket("c1", 0, "VHTun-1", 17570, 17574));
    ASSERT_NE(tunnel, nullptr);
    EXPECT_EQ(server->waitForSocket(20000).target, "http://127.0.0.1/ws/tunnel/c1/0/VHTun-1/17570/17574");
}

// Control, video and tunnel sockets send small frames without waiting for
// the acknowledgement of the frame before (no Nagle delay).
TEST_F(Factory, EverySocketSendsSmallFramesAtOnce) {
    using Opener = std::function<QorWebSocket*(ServerConnectionFactory&)>;
    const std::pair<const char*, Opener> openers[] = {
        {"control", [](ServerConnectionFactory& f) { return f.connectCtrlSocket("c1"); }},
        {"video", [](ServerConnectionFactory& f) { return f.openVideoSocket("c1", 0); }},
        {"tunnel", [](ServerConnectionFactory& f) { return f.connectTunnelSocket("c1", 0, "t", 17570, 17574); }},
    };
    for (bool secure : {false, true}) {
        useServer(secure);
        ServerConnectionFactory factory("127.0.0.1");
        for (const auto& opener : openers) {
            SCOPED_TRACE(std::string(opener.first) + (secure ? " over https" : " over http"));
            std::unique_ptr<QorWebSocket> socket(opener.second(factory));
            ASSERT_NE(socket, nullptr);
            int noDelay = 0;
            socklen_t length = sizeof noDelay;
            ASSERT_EQ(getsockopt(socket->socket()->impl()->sockfd(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &length), 0);
            EXPECT_NE(noDelay, 0);
        }
    }
}

TEST_F(Factory, TicketUpToTheLimitIsReadWhole) {
    useServer(false);
    const std::string ticket(ServerConnectionFactory::MAX_TICKET_BYTES, 't');
    server->setTicketAnswer(200, ticket);
    ServerConnectionFactory factory("127.0.0.1");
    std::unique_ptr<QorWebSocket> socket(factory.connectCtrlSocket("c1"));
    ASSERT_NE(socket, nullptr);
    EXPECT_EQ(server->waitForSocket(20000).ticket, ticket);
}

// A server that hands out a longer ticket fails the connection: the ticket
// is neither read whole nor sent back, and no handshake follows.
TEST_F(Factory, TicketOverTheLimitFailsTheConnection) {
    useServer(false);
    server->setTicketAnswer(200, std::string(ServerConnectionFactory::MAX_TICKET_BYTES + 1, 'k'));
    ServerConnectionFactory factory("127.0.0.1");
    EXPECT_EQ(factory.connectCtrlSocket("c1"), nullptr);
    EXPECT_TRUE(log.contains("Refusing authToken of 8193 bytes from server, at most 8192 are accepted"));
    EXPECT_EQ(server->requests().size(), 1u);
}

// A refused ticket never leads to a handshake.
TEST_F(Factory, RefusedTicketReturnsNull) {
    struct Case {
        int status;
        const char* body;
        const char* line;
    } cases[] = {
        {403, "forbidden", "Received 403 status during authTokenRequest, response length: 9"},
        {200, "", "Received 200 status during authTokenRequest, response length: 0"},
    };
    for (const Case& c : cases) {
        useServer(false);
        server->setTicketAnswer(c.status, c.body);
        ServerConnectionFactory factory("127.0.0.1");
        EXPECT_EQ(factory.connectCtrlSocket("c1"), nullptr);
        EXPECT_TRUE(log.contains(c.line)) << c.line;
        EXPECT_EQ(server->requests().size(), 1u);
    }
}

TEST_F(Factory, FailedHandshakeReturnsNull) {
    useServer(false);
    server->setUpgrade(FakeServer::Upgrade::REFUSE);
    ServerConnectionFactory factory("127.0.0.1");
    EXPECT_EQ(factory.connectCtrlSocket("c1"), nullptr);
    EXPECT_TRUE(log.contains("Can't establish web socket connection to server: \""));
    EXPECT_FALSE(log.contains("connected"));
}

TEST_F(Factory, UnreachableServerReturnsNull) {
    useServer(false);
    serverPort.store(freeLoopbackPort());
    ServerConnectionFactory factory("127.0.0.1");
    EXPECT_EQ(factory.connectCtrlSocket("c1"), nullptr);
    EXPECT_TRUE(log.contains("Error retrieving authToken from server: "));
}

// A ticket that cannot be sent whole fails the connection instead of
// returning a socket the server will never accept; one of 24 MiB is now
// refused before the handshake.
TEST_F(Factory, TicketThatCannotBeSentFailsTheConnection) {
    useServer(false);
    server->setTicketAnswer(200, std::string(24 << 20, 'k'));
    server->setUpgrade(FakeServer::Upgrade::HANG_UP);
    ServerConnectionFactory factory("127.0.0.1");
    EXPECT_EQ(factory.connectCtrlSocket("c1"), nullptr);
    EXPECT_TRUE(log.contains("Refusing authToken of 25165824 bytes from server"));
    EXPECT_EQ(server->requests().size(), 1u);
}

TEST_F(Factory, FirstSessionOfTheProcessLogsWhereItConnects) {
    useServer(false);
    debugComponentMask = LogComponentMask::SMGNT | LogComponentMask::NET;
    ServerConnectionFactory factory("127.0.0.1");
    std::unique_ptr<QorWebSocket> first(factory.connectCtrlSocket("c1"));
    std::unique_ptr<QorWebSocket> second(factory.connectCtrlSocket("c1"));
    debugComponentMask = 0;
    const std::string where = "server '127.0.0.1' at port " + std::to_string(server->port());
    EXPECT_EQ(log.count("Connecting to " + where), 1);
    EXPECT_EQ(log.count("Connected to " + where), 1);
    EXPECT_EQ(log.count("Connecting websocket to "), 2);
}
