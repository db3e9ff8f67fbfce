// Resource tickets: the checks of session cookie, CSRF token, Origin and the
// requested WebSocket address, and single use of each ticket.
#include "DemoFixture.h"

#include <Poco/Net/NetException.h>

#include <functional>

namespace {

class DemoTicketTest : public DemoFixture {
protected:
    void SetUp() override {
        server_ = startServer(ServerSetup(false, "/a/b"));
        peer_ = std::make_unique<DemoPeer>(*server_, "/a/b");
        clientId_ = openDesk(*peer_, pageSocket_);
        ASSERT_FALSE(clientId_.empty());
    }
    std::unique_ptr<DemoServerProcess> server_;
    std::unique_ptr<DemoPeer> peer_;
    std::unique_ptr<Poco::Net::WebSocket> pageSocket_;
    std::string clientId_;
};

struct TicketCase {
    const char* what;
    int status;
    std::function<void(TicketRequest&, const std::string& clientId)> change;
};

TEST_F(DemoTicketTest, OnlyTheRightSessionTokenOriginAndAddressGetATicket) {
    const std::vector<TicketCase> cases{
        {"control socket", 200, [](TicketRequest&, const std::string&) {}},
        {"video socket", 200,
         [](TicketRequest& r, const std::string& id) { r.uri = "http://127.0.0.1/a/b" + videoPath(id, 0); }},
        {"tunnel with a slash in its name", 200,
         [](TicketRequest& r, const std::string& id) {
             r.uri = "http://127.0.0.1/a/b/ws/tunnel/" + id + "/1/web/site/17570/-1";
         }},
        {"address with the port", 200,
         [this](TicketRequest& r, const std::string& id) {
             r.uri = "http://127.0.0.1:" + std::to_string(server_->port()) + "/a/b" + controlPath(id);
         }},
        {"no cookie", 403, [](TicketRequest& r, const std::string&) { r.cookieValue.clear(); }},
        {"unknown session", 403, [](TicketRequest& r, const std::string&) { r.cookieValue = "forged"; }},
        {"https cookie name over http", 403, [](TicketRequest& r, const std::string&) { r.cookieName = "SID"; }},
        {"wrong CSRF token", 403, [](TicketRequest& r, const std::string&) { r.csrfToken += "x"; }},
        {"no CSRF token", 403, [](TicketRequest& r, const std::string&) { r.csrfToken.clear(); }},
        {"no Origin", 403, [](TicketRequest& r, const std::string&) { r.origin.clear(); }},
        {"Origin of another port", 403, [](TicketRequest& r, const std::string&) { r.origin = "http://127.0.0.1:1"; }},
        {"Origin of another scheme", 403,
         [this](TicketRequest& r, const std::string&) {
             r.origin = "https://127.0.0.1:" + std::to_string(server_->port());
         }},
        {"another client id", 403,
         [](TicketRequest& r, const std::string&) { r.uri = "http://127.0.0.1/a/b" + controlPath("qdSomebodyElse"); }},
        {"outside the prefix", 403,
         [](TicketRequest& r, const std::string& id) { r.uri = "http://127.0.0.1" + controlPath(id); }},
        {"https address on an http server", 403,
         [](TicketRequest& r, const std::string& id) { r.uri = "https://127.0.0.1/a/b" + controlPath(id); }},
        {"another host", 403,
         [](TicketRequest& r, const std::string& id) { r.uri = "http://127.0.0.2/a/b" + controlPath(id); }},
        {"another port", 403,
         [](TicketRequest& r, const std::string& id) { r.uri = "http://127.0.0.1:1/a/b" + controlPath(id); }},
        {"screen out of range", 403,
         [](TicketRequest& r, const std::string& id) { r.uri = "http://127.0.0.1/a/b" + videoPath(id, 1); }},
        {"incomplete tunnel address", 403,
         [](TicketRequest& r, const std::string& id) { r.uri = "http://127.0.0.1/a/b/ws/tunnel/" + id + "/x"; }},
        {"tunnel of type 2", 403,
         [](TicketRequest& r, const std::string& id) {
             r.uri = "http://127.0.0.1/a/b/ws/tunnel/" + id + "/2/t/17570/17574";
         }},
        {"tunnel port not a number", 403,
         [](TicketRequest& r, const std::string& id) {
             r.uri = "http://127.0.0.1/a/b/ws/tunnel/" + id + "/0/t/x/17574";
         }},
        {"dot segments", 403,
         [](TicketRequest& r, const std::string& id) {
             r.uri = "http://127.0.0.1/a/b/ws/desktop/../desktop/native-ctrl/" + id;
         }},
        {"not a URI", 403, [](TicketRequest& r, const std::string&) { r.uri = "::"; }},
        {"GET", 405, [](TicketRequest& r, const std::string&) { r.method = "GET"; }},
    };
    const TicketRequest valid = peer_->ticketRequest(controlPath(clientId_));
    for (const auto& c : cases) {
        TicketRequest request = valid;
        c.change(request, clientId_);
        const HttpReply reply = peer_->requestTicket(request);
        EXPECT_EQ(c.status, reply.status) << c.what;
        if (reply.status == 200) {
            EXPECT_GE(reply.body.size(), 20u) << c.what;
        }
    }
}

TEST_F(DemoTicketTest, AnotherSessionCannotTicketThisDesk) {
    DemoPeer other(*server_, "/a/b");
    ASSERT_TRUE(other.signIn("alice", "s3cret&x"));
    EXPECT_EQ(403, other.requestTicket(other.ticketRequest(controlPath(clientId_))).status);
}

TEST_F(DemoTicketTest, ATicketOpensOneSocketOnce) {
    const std::string path = controlPath(clientId_);
    const HttpReply ticket = peer_->requestTicket(peer_->ticketRequest(path));
    ASSERT_EQ(200, ticket.status);

    auto control = peer_->openDesktopSocket(path, ticket.body);
    ASSERT_TRUE(receiveRelay(*pageSocket_, 100)) << "the accepted control socket starts the desk";

    auto again = peer_->openDesktopSocket(path, ticket.body);
    EXPECT_EQ(Poco::Net::WebSocket::WS_POLICY_VIOLATION, receiveCloseCode(*again));
}

TEST_F(DemoTicketTest, SocketsAreRefusedWithoutTheirOwnTicket) {
    const HttpReply controlTicket = peer_->requestTicket(peer_->ticketRequest(controlPath(clientId_)));
    ASSERT_EQ(200, controlTicket.status);
    struct SocketCase {
        const char* what;
        std::string path;
        std::string ticket;
    };
    const std::vector<SocketCase> cases{
        {"a control ticket on a video socket", videoPath(clientId_, 0), controlTicket.body},
        {"an invented ticket", controlPath(clientId_), "not-a-ticket"},
        {"an empty ticket", controlPath(clientId_), ""},
    };
    for (const auto& c : cases) {
        auto socket = peer_->openDesktopSocket(c.path, c.ticket);
        EXPECT_EQ(Poco::Net::WebSocket::WS_POLICY_VIOLATION, receiveCloseCode(*socket)) << c.what;
    }
    // The control ticket was spent by its use on the video path.
    auto control = peer_->openDesktopSocket(controlPath(clientId_), controlTicket.body);
    EXPECT_EQ(Poco::Net::WebSocket::WS_POLICY_VIOLATION, receiveCloseCode(*control));
}

TEST_F(DemoTicketTest, ThePageSocketNeedsASession) {
    DemoPeer stranger(*server_, "/a/b");
    EXPECT_THROW(stranger.openPageSocket(), Poco::Net::WebSocketException);
}

}  // namespace
