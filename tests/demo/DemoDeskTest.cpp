// A desk from the page's and the client's side: the start of the screens in
// protocol order, H.264 access units on the video sockets after
// CLNT_START_VS, resync, statistics, the end of a screen and of the desk,
// and the server's orderly stop.
#include "DemoFixture.h"

#include <csignal>

namespace {

using Poco::JSON::Object;

std::string startMessage(int screen) { return "{\"session\":" + std::to_string(screen) + ",\"type\":14}"; }
std::string resyncMessage(int screen) { return "{\"session\":" + std::to_string(screen) + ",\"type\":30}"; }

// The next relayed control message, whatever its type; other page messages are skipped.
Object::Ptr nextRelay(Poco::Net::WebSocket& pageSocket) {
    auto envelope = receiveJsonUntil(
        pageSocket, [](const Object::Ptr& m) { return m->optValue<std::string>("kind", "") == "relay"; });
    return envelope ? envelope->getObject("message") : nullptr;
}

std::vector<std::string> receiveUnits(Poco::Net::WebSocket& video, int count) {
    std::vector<std::string> units;
    std::string unit;
    while (static_cast<int>(units.size()) < count && receiveBinary(video, unit)) units.push_back(unit);
    return units;
}

struct DeskCase {
    const char* name;
    bool https;
    const char* prefix;
    int screens;
};
void PrintTo(const DeskCase& c, std::ostream* os) { *os << c.name; }

class DemoDeskTest : public DemoFixture, public ::testing::WithParamInterface<DeskCase> {
protected:
    void SetUp() override {
        server_ = startServer(ServerSetup(GetParam().https, GetParam().prefix, GetParam().screens, {"--fps=100"}));
        peer_ = std::make_unique<DemoPeer>(*server_, GetParam().prefix);
        clientId_ = openDesk(*peer_, pageSocket_);
        ASSERT_FALSE(clientId_.empty());
        control_ = peer_->connectDesktopSocket(controlPath(clientId_));
    }
    std::unique_ptr<DemoServerProcess> server_;
    std::unique_ptr<DemoPeer> peer_;
    std::unique_ptr<Poco::Net::WebSocket> pageSocket_;
    std::unique_ptr<Poco::Net::WebSocket> control_;
    std::string clientId_;
};

TEST_P(DemoDeskTest, StartsEveryScreenInProtocolOrder) {
    auto id = nextRelay(*pageSocket_);
    ASSERT_TRUE(id);
    EXPECT_EQ(100, id->getValue<int>("type"));
    EXPECT_EQ("4.3", id->getValue<std::string>("NetProtVer"));
    EXPECT_EQ(clientId_, id->getValue<std::string>("ClntID"));
    EXPECT_TRUE(id->getValue<bool>("ClntIsHost"));
    EXPECT_FALSE(id->getValue<bool>("Paused"));

    auto params = nextRelay(*pageSocket_);
    ASSERT_TRUE(params);
    EXPECT_EQ(101, params->getValue<int>("type"));
    EXPECT_EQ(GetParam().screens, params->getValue<int>("SvrPNumScrs"));

    for (int screen = 0; screen < GetParam().screens; ++screen) {
        auto setup = nextRelay(*pageSocket_);
        ASSERT_TRUE(setup);
        EXPECT_EQ(12, setup->getValue<int>("type"));
        EXPECT_EQ(screen, setup->getValue<int>("session"));
        auto vs = nextRelay(*pageSocket_);
        ASSERT_TRUE(vs);
        EXPECT_EQ(102, vs->getValue<int>("type"));
        EXPECT_EQ(screen, vs->getValue<int>("session"));
        EXPECT_EQ(192, vs->getValue<int>("SrvVSWth"));
        EXPECT_EQ(108, vs->getValue<int>("SrvVSHgt"));
        EXPECT_EQ(100, vs->getValue<int>("SrvVSFr"));
        EXPECT_EQ("0,0,8", vs->getValue<std::string>("VConf"));
    }
}

TEST_P(DemoDeskTest, SendsDecodableAccessUnitsOnEveryScreenAfterItsStart) {
    for (int screen = 0; screen < GetParam().screens; ++screen) {
        auto video = peer_->connectDesktopSocket(videoPath(clientId_, screen));
        sendJson(*control_, startMessage(screen));
        const auto units = receiveUnits(*video, 30);
        ASSERT_EQ(30u, units.size()) << "screen " << screen;
        EXPECT_TRUE(isKeyAccessUnit(units.front())) << "screen " << screen;
        for (const auto& unit : units) {
            const auto types = nalUnitTypes(unit);
            ASSERT_FALSE(types.empty());
            EXPECT_EQ(9, types.front());
            EXPECT_EQ(1, std::count(types.begin(), types.end(), 9)) << "one access unit per message";
        }
        EXPECT_EQ(30, decodedPictureCount(dir_.path(), units)) << "screen " << screen;
    }
}

INSTANTIATE_TEST_SUITE_P(Desks, DemoDeskTest,
                         ::testing::Values(DeskCase{"http", false, "", 1}, DeskCase{"httpPrefixed", false, "/a/b", 1},
                                           DeskCase{"httpsPrefixed", true, "/a/b", 1},
                                           DeskCase{"twoScreens", false, "", 2},
                                           DeskCase{"twoScreensHttps", true, "", 2}),
                         [](const ::testing::TestParamInfo<DeskCase>& info) { return info.param.name; });

class DemoScreenTest : public DemoFixture {
protected:
    void start(std::vector<std::string> extra = {"--fps=100"}) {
        server_ = startServer(ServerSetup(false, "", 1, std::move(extra)));
        peer_ = std::make_unique<DemoPeer>(*server_, "");
        clientId_ = openDesk(*peer_, pageSocket_);
        ASSERT_FALSE(clientId_.empty());
        control_ = peer_->connectDesktopSocket(controlPath(clientId_));
        video_ = peer_->connectDesktopSocket(videoPath(clientId_, 0));
    }
    std::unique_ptr<DemoServerProcess> server_;
    std::unique_ptr<DemoPeer> peer_;
    std::unique_ptr<Poco::Net::WebSocket> pageSocket_;
    std::unique_ptr<Poco::Net::WebSocket> control_;
    std::unique_ptr<Poco::Net::WebSocket> video_;
    std::string clientId_;
};

TEST_F(DemoScreenTest, SendsNoVideoBeforeTheClientStartsTheScreen) {
    start();
    video_->setReceiveTimeout(Poco::Timespan(0, 600000));
    std::string unit;
    EXPECT_FALSE(receiveBinary(*video_, unit));
    video_->setReceiveTimeout(Poco::Timespan(10, 0));
    sendJson(*control_, startMessage(0));
    ASSERT_TRUE(receiveBinary(*video_, unit));
    EXPECT_TRUE(isKeyAccessUnit(unit));
}

TEST_F(DemoScreenTest, ResyncRestartsAtAKeyUnitAndStaysDecodable) {
    start();
    sendJson(*control_, startMessage(0));
    auto units = receiveUnits(*video_, 10);
    ASSERT_EQ(10u, units.size());
    sendJson(*control_, resyncMessage(0));
    // The test stream has its only IDR picture at its start (60 pictures), so
    // a key unit before the stream loops comes from the resync.
    bool restarted = false;
    for (int i = 0; i < 40 && !restarted; ++i) {
        std::string unit;
        ASSERT_TRUE(receiveBinary(*video_, unit));
        units.push_back(unit);
        restarted = isKeyAccessUnit(unit);
    }
    EXPECT_TRUE(restarted);
    EXPECT_EQ(static_cast<int>(units.size()), decodedPictureCount(dir_.path(), units));
}

TEST_F(DemoScreenTest, LoopsTheStreamFromItsStart) {
    start({"--fps=200"});
    sendJson(*control_, startMessage(0));
    const auto units = receiveUnits(*video_, 61);
    ASSERT_EQ(61u, units.size());
    EXPECT_TRUE(isKeyAccessUnit(units[60]));
    EXPECT_EQ(units[0], units[60]);
    EXPECT_EQ(61, decodedPictureCount(dir_.path(), units));
}

TEST_F(DemoScreenTest, RelaysStatisticsRequestsAndShowsTheAnswersToThePage) {
    start({"--fps=100", "--stat-interval=200"});
    sendJson(*control_, startMessage(0));
    std::string unit;
    ASSERT_TRUE(receiveBinary(*video_, unit));
    auto request = receiveRelay(*pageSocket_, 122);
    ASSERT_TRUE(request);
    EXPECT_EQ(0, request->getValue<int>("session"));
    EXPECT_GT(request->getValue<int>("StatSvrFrNo"), 0);
    EXPECT_TRUE(request->has("StatOnlyAck"));

    sendJson(*control_, "{\"CSBlg\":0,\"CSFno\":12,\"CSSvrFno\":" + std::to_string(request->getValue<int>("StatSvrFrNo")) +
                            ",\"SrvVSCnfNo\":1,\"session\":0,\"type\":16}");
    auto stats = receiveJsonUntil(*pageSocket_, [](const Object::Ptr& m) {
        return m->optValue<std::string>("kind", "") == "stats";
    });
    ASSERT_TRUE(stats);
    EXPECT_EQ(0, stats->getValue<int>("screen"));
    EXPECT_EQ(12, stats->getObject("message")->getValue<int>("CSFno"));
}

TEST_F(DemoScreenTest, EndingAScreenFromThePageRelaysTheErrorAndClosesItsVideo) {
    start();
    sendJson(*control_, startMessage(0));
    std::string unit;
    ASSERT_TRUE(receiveBinary(*video_, unit));
    sendJson(*pageSocket_, "{\"kind\":\"end-screen\",\"screen\":0}");
    auto error = receiveRelay(*pageSocket_, 109);
    ASSERT_TRUE(error);
    EXPECT_EQ(0, error->getValue<int>("session"));
    EXPECT_EQ(Poco::Net::WebSocket::WS_NORMAL_CLOSE, receiveCloseCode(*video_));
}

TEST_F(DemoScreenTest, MalformedPageAndClientMessagesAreDropped) {
    start();
    sendJson(*control_, startMessage(0));
    const std::vector<std::string> garbage{
        "not json", "[1,2]", "{}", "{\"kind\":7}", "{\"kind\":\"client\",\"message\":5}",
        "{\"kind\":\"bridge\",\"state\":{\"x\":1}}", "{\"kind\":\"end-screen\",\"screen\":\"zero\"}",
        "{\"kind\":\"end-screen\",\"screen\":7}", "{\"kind\":\"end-screen\",\"screen\":-1}"};
    for (const auto& text : garbage) {
        sendJson(*pageSocket_, text);
        sendJson(*control_, text);
    }
    sendJson(*control_, "{\"session\":9,\"type\":30}");
    std::string unit;
    ASSERT_TRUE(receiveBinary(*video_, unit)) << "the screen still streams";
    sendJson(*pageSocket_, "{\"kind\":\"end-screen\",\"screen\":0}");
    auto error = receiveRelay(*pageSocket_, 109);
    ASSERT_TRUE(error) << "the page socket still works";
    EXPECT_EQ(0, error->getValue<int>("session"));
}

TEST_F(DemoScreenTest, ClosingThePageClosesTheClientsSockets) {
    start();
    sendJson(*control_, startMessage(0));
    std::string unit;
    ASSERT_TRUE(receiveBinary(*video_, unit)) << "the video socket is in";
    pageSocket_->shutdown();
    EXPECT_EQ(Poco::Net::WebSocket::WS_NORMAL_CLOSE, receiveCloseCode(*control_));
    EXPECT_EQ(Poco::Net::WebSocket::WS_NORMAL_CLOSE, receiveCloseCode(*video_));
}

TEST_F(DemoScreenTest, GuestsAreNotTheHost) {
    server_ = startServer(ServerSetup());
    DemoPeer guest(*server_, "");
    EXPECT_FALSE(guest.signInAsGuest(""));
    ASSERT_TRUE(guest.signInAsGuest("bob"));
    auto page = guest.openPageSocket();
    auto hello = receiveJson(*page);
    ASSERT_TRUE(hello);
    EXPECT_TRUE(hello->getValue<bool>("guest"));
    auto control = guest.connectDesktopSocket(controlPath(hello->getValue<std::string>("clientId")));
    auto id = receiveRelay(*page, 100);
    ASSERT_TRUE(id);
    EXPECT_FALSE(id->getValue<bool>("ClntIsHost"));
}

TEST_F(DemoScreenTest, ASecondControlSocketIsRefused) {
    start();
    ASSERT_TRUE(receiveRelay(*pageSocket_, 100)) << "the first control socket is in";
    auto second = peer_->connectDesktopSocket(controlPath(clientId_));
    EXPECT_EQ(Poco::Net::WebSocket::WS_POLICY_VIOLATION, receiveCloseCode(*second));
}

TEST_F(DemoScreenTest, StopsCleanlyOnTerminationSignalsWhileStreaming) {
    for (int signalNumber : {SIGTERM, SIGINT}) {
        start();
        sendJson(*control_, startMessage(0));
        std::string unit;
        ASSERT_TRUE(receiveBinary(*video_, unit));
        EXPECT_EQ(0, server_->stop(signalNumber)) << "signal " << signalNumber;
        EXPECT_NE(std::string::npos, server_->log().find("Stopped")) << server_->log();
        EXPECT_EQ(Poco::Net::WebSocket::WS_NORMAL_CLOSE, receiveCloseCode(*video_));
    }
}

}  // namespace
