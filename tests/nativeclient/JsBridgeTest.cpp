// The js-bridge's pure parts: the nonce, the one-step acceptance of a nonce
// with the path prefix, bridge path splitting and the request screening.
#include "JsBridge.h"
#include "RequestHandlerFactory.h"
#include "SimpleErrorHandler.h"
#include "WebSocketRequestHandler.h"

#include "LogCapture.h"

#include <Poco/Exception.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Thread.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace qor;

namespace {

bool urlSafe(const std::string& text) {
    for (char c : text)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_')) return false;
    return true;
}

} // namespace

TEST(JsBridgeNonce, FreshTokensAre43UrlSafeCharactersAndDistinct) {
    std::set<std::string> seen;
    for (int i = 0; i < 500; ++i) {
        const std::string token = randomUrlToken();
        ASSERT_EQ(token.size(), 43u) << token;
        ASSERT_TRUE(urlSafe(token)) << token;
        seen.insert(token);
    }
    EXPECT_EQ(seen.size(), 500u);

    const std::string base64 = randomBase64();
    EXPECT_EQ(base64.size(), 44u);
    EXPECT_EQ(base64.back(), '=');
}

TEST(JsBridgeNonce, RenewalReplacesTheNonce) {
    renewBridgeNonce();
    const std::string first = bridgeNonce();
    renewBridgeNonce();
    EXPECT_EQ(bridgeNonce().size(), 43u);
    EXPECT_NE(bridgeNonce(), first);
}

// One connection's worth of acceptance, in order; each step sees the state
// the previous ones left.
struct AcceptStep {
    const char* what;
    enum Nonce { CURRENT, PREVIOUS, OTHER, EMPTY } nonce;
    const char* joinedPrefix; // null: the request leaves the prefix alone
    bool accepted;
    const char* prefixAfter;
};

TEST(JsBridgeNonce, AcceptanceSpendsTheNonceAndOnlyThenStoresThePrefix) {
    setServerPathPrefix("");
    renewBridgeNonce();
    std::string previous = bridgeNonce();
    const AcceptStep steps[] = {
        {"wrong nonce with a prefix", AcceptStep::OTHER, "a/", false, ""},
        {"empty nonce", AcceptStep::EMPTY, "a/", false, ""},
        {"right nonce with two segments", AcceptStep::CURRENT, "a/b/", true, "/a/b"},
        {"replayed nonce", AcceptStep::PREVIOUS, "c/", false, "/a/b"},
        {"right nonce, four-segment path", AcceptStep::CURRENT, nullptr, true, "/a/b"},
        {"right nonce, 'ws' first of five", AcceptStep::CURRENT, "", true, ""},
        {"replay after that", AcceptStep::PREVIOUS, "d/", false, ""},
    };
    for (const AcceptStep& step : steps) {
        SCOPED_TRACE(step.what);
        const std::string before = bridgeNonce();
        std::string presented;
        switch (step.nonce) {
        case AcceptStep::CURRENT: presented = before; break;
        case AcceptStep::PREVIOUS: presented = previous; break;
        case AcceptStep::OTHER: presented = randomUrlToken(); break;
        case AcceptStep::EMPTY: break;
        }
        const std::string prefix = step.joinedPrefix ? step.joinedPrefix : "";
        EXPECT_EQ(acceptBridgeNonce(presented, step.joinedPrefix ? &prefix : nullptr), step.accepted);
        EXPECT_EQ(serverPathPrefix(), step.prefixAfter);
        if (step.accepted) {
            EXPECT_NE(bridgeNonce(), before);
            EXPECT_EQ(bridgeNonce().size(), 43u);
            previous = before;
        } else {
            EXPECT_EQ(bridgeNonce(), before);
        }
    }
}

TEST(JsBridgeNonce, EmptyNonceBeforeTheFirstRenewalMatchesNothing) {
    if (!bridgeNonce().empty()) GTEST_SKIP() << "needs a process without an earlier renewal";
    const std::string prefix = "a/";
    EXPECT_FALSE(acceptBridgeNonce("", &prefix));
    EXPECT_FALSE(acceptBridgeNonce("x", &prefix));
    EXPECT_EQ(serverPathPrefix(), "");
    EXPECT_EQ(bridgeNonce(), "");
}

TEST(JsBridgeNonce, ConcurrentRequestsWithOneNonceAcceptExactlyOne) {
    for (int round = 0; round < 20; ++round) {
        renewBridgeNonce();
        const std::string nonce = bridgeNonce();
        std::atomic<int> accepted{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; ++i)
            threads.emplace_back([&, i] {
                while (!go) std::this_thread::yield();
                const std::string prefix = "p" + std::to_string(i) + "/";
                if (acceptBridgeNonce(nonce, &prefix)) ++accepted;
            });
        go = true;
        for (std::thread& t : threads) t.join();
        ASSERT_EQ(accepted.load(), 1) << "round " << round;
    }
}

struct PathCase {
    const char* path;
    int wsIndex;
};

TEST(JsBridgePath, WsSegmentIsTheLastWithThreeAfterIt) {
    const PathCase cases[] = {
        {"/ws/f/id/n", 0},
        {"/ws/f/id", -1},
        {"/x/ws/a/b/c/d", 1},
        {"/ws/p/ws/f/id/n", 2},
        {"/ws/p/ws/f/id", 0},
        {"/WS/f/id/n", -1},
        {"/wss/f/id/n", -1},
        {"/a/./ws//f/id/n", 1},
        {"/a/../ws/f/id/n", 0},
        {"/a/b/../ws/f/id/n", 1},
        {"\\a\\ws\\f\\id\\n", 1},
        {"//node/ws/f/id/n", 0}, // a leading "//name" is a node, not a segment
        {"/../../ws/f/id/n", 0},
        {"..\\..\\ws\\f\\id\\n", 0},   // relative: taken from the root
        {"..\\..\\a\\ws\\f\\id\\n", 1},
        {"a/../../ws/f/id/n", 0},
        {"/ws/f/id/n/", 0},
        {"/", -1},
        {"", -1},
    };
    for (const PathCase& c : cases) EXPECT_EQ(findWsSegment(std::string(c.path)), c.wsIndex) << c.path;
}

// A ".." never climbs above the root into the prefix, also in a request
// target that is no absolute path.
TEST(JsBridgePath, DotDotStopsAtTheRoot) {
    const std::vector<std::string> expected{"a", "ws", "f", "id", "n"};
    for (const char* path : {"..\\..\\a\\ws\\f\\id\\n", "../a/ws/f/id/n", "/../../a/ws/f/id/n", "x/../../a/ws/f/id/n",
                             "a/ws/f/id/n"})
        EXPECT_EQ(bridgePathSegments(path), expected) << path;
}

TEST(JsBridgePath, DriveDesignationIsASyntaxError) {
    EXPECT_THROW(findWsSegment(std::string("/C:/ws/f/id/n")), Poco::PathSyntaxException);
}

TEST(JsBridgePath, PrefixTextFromJoinedSegments) {
    const std::pair<const char*, const char*> cases[] = {{"", ""}, {"a/", "/a"}, {"a/b/", "/a/b"}, {"ws/p/", "/ws/p"}};
    for (const auto& c : cases) {
        EXPECT_EQ(pathPrefixText(c.first), c.second) << c.first;
        setServerPathPrefix(c.first);
        EXPECT_EQ(serverPathPrefix(), c.second);
    }
}

TEST(JsBridgeScreening, LoopbackClients) {
    const std::pair<const char*, bool> cases[] = {
        {"127.0.0.1", true},        {"127.255.3.4", true},     {"::1", true},
        {"::ffff:127.0.0.1", true}, {"10.0.0.1", false},       {"0.0.0.0", false},
        {"128.0.0.1", false},       {"::ffff:10.0.0.1", false}, {"::", false},
        {"fe80::1", false},         {"192.168.1.127", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isLoopbackClient(Poco::Net::IPAddress(c.first)), c.second) << c.first;
}

namespace {

// A request as the HTTP server hands it to the factory.
class FakeRequest : public Poco::Net::HTTPServerRequest {
public:
    FakeRequest(const std::string& method, const std::string& uri, const std::string& client)
        : client_(client, 40000), server_("127.0.0.1", 41000), params_(new Poco::Net::HTTPServerParams) {
        setMethod(method);
        setURI(uri);
    }
    std::istream& stream() override { return body_; }
    const Poco::Net::SocketAddress& clientAddress() const override { return client_; }
    const Poco::Net::SocketAddress& serverAddress() const override { return server_; }
    const Poco::Net::HTTPServerParams& serverParams() const override { return *params_; }
    Poco::Net::HTTPServerResponse& response() const override { throw Poco::NotImplementedException("response"); }
    bool secure() const override { return false; }

private:
    std::istringstream body_;
    Poco::Net::SocketAddress client_;
    Poco::Net::SocketAddress server_;
    Poco::Net::HTTPServerParams::Ptr params_;
};

struct ScreenCase {
    const char* method;
    const char* uri; // "{nonce}" stands for the current nonce
    const char* client;
    int status; // 0: passed on to the WebSocket handler
};

} // namespace

TEST(JsBridgeScreening, MethodThenClientThenPath) {
    LogCapture log("debug");
    renewBridgeNonce();
    const std::string nonce = bridgeNonce();
    const ScreenCase cases[] = {
        {"PUT", "/ws/f/id/{nonce}", "127.0.0.1", 405},
        {"get", "/ws/f/id/{nonce}", "127.0.0.1", 405},
        {"DELETE", "/nothing", "10.0.0.1", 405},
        {"GET", "/ws/f/id/{nonce}", "10.1.2.3", 403},
        {"POST", "/a/ws/f/id/{nonce}", "192.168.0.1", 403},
        {"GET", "/ws/f/id", "10.1.2.3", 403},
        {"GET", "/ws/f/id", "127.0.0.1", 400},
        {"GET", "/ws/f/id?x=/a/b/c", "127.0.0.1", 400},
        {"HEAD", "/a/b/c/d/e", "127.0.0.1", 400},
        {"GET", "/ws/f/id/{nonce}", "127.0.0.1", 0},
        {"POST", "/x/ws/a/b/c/d", "127.9.9.9", 0},
        {"HEAD", "/ws/f/id/n?q=1", "::1", 0},
    };
    RequestHandlerFactory factory(nullptr);
    for (const ScreenCase& c : cases) {
        std::string uri = c.uri;
        const std::size_t at = uri.find("{nonce}");
        if (at != std::string::npos) uri.replace(at, 7, nonce);
        SCOPED_TRACE(std::string(c.method) + " " + uri + " from " + c.client);
        log.clear();
        FakeRequest request(c.method, uri, c.client);
        std::unique_ptr<Poco::Net::HTTPRequestHandler> handler(factory.createRequestHandler(request));
        ASSERT_TRUE(handler);
        if (c.status == 0) {
            EXPECT_TRUE(dynamic_cast<WebSocketRequestHandler*>(handler.get()));
            EXPECT_TRUE(log.texts().empty());
        } else {
            auto* error = dynamic_cast<SimpleErrorHandler*>(handler.get());
            ASSERT_TRUE(error);
            EXPECT_EQ(error->status, c.status);
            EXPECT_EQ(log.texts(), std::vector<std::string>{"Blocking HTTP " + std::string(c.method) +
                                                            " request from: '" + uri +
                                                            "', Status: " + std::to_string(c.status)});
        }
        // Screening never spends the nonce.
        EXPECT_EQ(bridgeNonce(), nonce);
    }
}
