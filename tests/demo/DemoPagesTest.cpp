// The demo server's pages: the server marker, the sign-in form, the session
// cookie per scheme and the desk page's contract, over http and https, with
// and without a path prefix.
#include "DemoFixture.h"

namespace {

const std::string kMarker = "<!-- MY_UUID=808620FE-0605-4C04-B3A5-95AA4EE9F435 -->";

struct ServeCase {
    const char* name;
    bool https;
    const char* prefix;
};
void PrintTo(const ServeCase& c, std::ostream* os) { *os << c.name; }

class DemoPagesTest : public DemoFixture, public ::testing::WithParamInterface<ServeCase> {
protected:
    void SetUp() override {
        server_ = startServer(ServerSetup{GetParam().https, GetParam().prefix});
        peer_ = std::make_unique<DemoPeer>(*server_, GetParam().prefix);
    }
    std::unique_ptr<DemoServerProcess> server_;
    std::unique_ptr<DemoPeer> peer_;
};

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_P(DemoPagesTest, EveryServerPageCarriesTheMarker) {
    for (const char* page : {"/signin.html", "/guest-signin.html", "/signout.html"}) {
        const HttpReply reply = peer_->get(page);
        EXPECT_EQ(200, reply.status) << page;
        EXPECT_TRUE(contains(reply.body, kMarker)) << page;
    }
    const HttpReply signIn = peer_->get("/signin.html");
    for (const char* id : {"id=\"inputUsername\"", "id=\"inputPassword\"", "id=\"signin-btn\""})
        EXPECT_TRUE(contains(signIn.body, id)) << id;
}

TEST_P(DemoPagesTest, RootLeadsToSignIn) {
    HttpReply reply = peer_->get("/");
    EXPECT_EQ(302, reply.status);
    EXPECT_EQ(std::string(GetParam().prefix) + "/signin.html", reply.headers.at("Location"));
}

TEST_P(DemoPagesTest, SignInSetsTheSchemesCookieAndOpensTheDeskPage) {
    EXPECT_EQ(302, peer_->get("/quarrydesk.html").status);

    const HttpReply refused = peer_->postForm("/signin", "username=alice&password=wrong", false);
    EXPECT_EQ(303, refused.status);
    EXPECT_TRUE(refused.setCookie.empty());
    EXPECT_TRUE(contains(refused.headers.at("Location"), "signin.html?failed=1"));

    ASSERT_TRUE(peer_->signIn("alice", "s3cret&x"));
    const HttpReply desk = peer_->get("/quarrydesk.html");
    ASSERT_EQ(200, desk.status);
    EXPECT_TRUE(contains(desk.body, kMarker));
    EXPECT_TRUE(contains(desk.body, "<meta name=\"CSRFToken\" content=\""));
    EXPECT_FALSE(peer_->csrfToken().empty());
    EXPECT_TRUE(contains(desk.body, "id=\"canvas\""));
    EXPECT_TRUE(contains(desk.body, "id=\"fullscreen\""));
    EXPECT_TRUE(contains(desk.body, "width:192px;height:108px"));

    const HttpReply script = peer_->get("/demo-page.js");
    EXPECT_EQ(200, script.status);
    for (const char* part : {"bridgePort:", "gJSBridgeNonce", "'/ws/desktop/'", "/ws/page"})
        EXPECT_TRUE(contains(script.body, part)) << part;
}

TEST_P(DemoPagesTest, SignOutEndsTheSession) {
    ASSERT_TRUE(peer_->signIn("alice", "s3cret&x"));
    const HttpReply out = peer_->get("/signout.html");
    EXPECT_EQ(200, out.status);
    EXPECT_TRUE(contains(out.setCookie, "Max-Age=0"));
    EXPECT_EQ(302, peer_->get("/quarrydesk.html").status);
}

TEST_P(DemoPagesTest, ScreenWindowPagesNeedNoSession) {
    const HttpReply screen = peer_->get("/quarrydesk.html?screen=0", false);
    EXPECT_EQ(200, screen.status);
    EXPECT_TRUE(contains(screen.body, "id=\"canvas\""));
    EXPECT_FALSE(contains(screen.body, "CSRFToken"));
    EXPECT_EQ(404, peer_->get("/quarrydesk.html?screen=1", false).status);
}

INSTANTIATE_TEST_SUITE_P(Serving, DemoPagesTest,
                         ::testing::Values(ServeCase{"http", false, ""}, ServeCase{"httpPrefixed", false, "/a/b"},
                                           ServeCase{"https", true, ""}, ServeCase{"httpsPrefixed", true, "/a/b"}),
                         [](const ::testing::TestParamInfo<ServeCase>& info) { return info.param.name; });

class DemoPrefixTest : public DemoFixture {};

TEST_F(DemoPrefixTest, PathsOutsideThePrefixAreNotFound) {
    auto server = startServer(ServerSetup{false, "/a/b"});
    DemoPeer outside(*server, "");
    EXPECT_EQ(404, outside.get("/signin.html").status);
    EXPECT_EQ(404, outside.get("/a/signin.html").status);
    DemoPeer inside(*server, "/a/b");
    EXPECT_EQ(200, inside.get("/signin.html").status);
}

}  // namespace
