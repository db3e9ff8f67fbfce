#include "LogCapture.h"
#include "NativeClientServerProxy.h"
#include "NativeClientSession.h"
#include "QorMessage.h"
#include "ServerConnectionValues.h"

#include <gtest/gtest.h>

#include <memory>

using namespace qor;

namespace {

// A session that never starts, on a proxy that never starts: the session's
// handlers run on the test thread, and what it would send to the server
// shows in the proxy's "not initialized" line.
class Session : public ::testing::Test {
protected:
    void SetUp() override {
        serverIsSecure.store(false);
        screenCount.store(1);
        proxy.reset(new NativeClientServerProxy("127.0.0.1"));
        session.reset(new NativeClientSession(proxy.get(), 0));
    }
    void TearDown() override {
        session.reset();
        proxy.reset();
    }
    bool handle(const std::string& json) { return session->handleSessionMessage(QorMessage(json)); }
    bool sent(const std::string& json, const std::string& label) {
        return log.contains("Session 0: Server ctrl send not initialized '" + json + "', " + label);
    }

    LogCapture log{"debug"};
    std::unique_ptr<NativeClientServerProxy> proxy;
    std::unique_ptr<NativeClientSession> session;
};

} // namespace

TEST_F(Session, NameFollowsTheScreenCount) {
    EXPECT_EQ(session->name(), "Session 0");
    screenCount.store(2);
    NativeClientSession second(proxy.get(), 1);
    EXPECT_EQ(second.name(), "Session 0, display 1");
    screenCount.store(1);
}

TEST_F(Session, StreamParametersWithDefaults) {
    VideoStreamParams record;
    record.encodingSpec = {3, 0, 8};
    EXPECT_TRUE(session->parseVsParam(QorMessage(R"({"type":102,"session":0})"), record));
    EXPECT_EQ(record.frameRate, 24);
    EXPECT_EQ(record.quality, 21);
    EXPECT_EQ(record.configNo, 0);
    EXPECT_EQ(record.width, 400);
    EXPECT_EQ(record.height, 400);
    EXPECT_EQ(record.serverWidth, 400);
    EXPECT_EQ(record.encodingSpec, (VideoEncodingSpec{3, 0, 8}));
    EXPECT_TRUE(log.contains("Session 0: QOR_SVR_VS_PARAM_FRAMERATE missing in session parameter"));
    EXPECT_TRUE(log.contains("Session 0: QOR_VCONF missing in session parameter"));

    // An encoding text the parser cannot read leaves the specification.
    EXPECT_TRUE(session->parseVsParam(QorMessage(R"({"type":102,"session":0,"VConf":"a,b,c"})"), record));
    EXPECT_EQ(record.encodingSpec, (VideoEncodingSpec{3, 0, 8}));
    EXPECT_TRUE(session->parseVsParam(QorMessage(R"({"type":102,"session":0,"VConf":"9,125,8"})"), record));
    EXPECT_EQ(record.encodingSpec, (VideoEncodingSpec{9, 125, 8}));
}

TEST_F(Session, UnreadableStreamParametersAreRefused) {
    struct Case {
        const char* json;
        const char* line;
    } cases[] = {
        {R"({"type":102,"session":"x"})", "Retrieved invalid value for session (QOR_MSG_SCREEN_ID)"},
        {R"({"type":102,"session":0,"SrvVSFr":"fast"})", "Retrieved invalid value for SrvVSFr (QOR_SVR_VS_PARAM_FRAMERATE)"},
        {R"({"type":102,"session":0,"SrvVSHgt":"tall"})", "Retrieved invalid value for SrvVSHgt (QOR_SVR_VS_PARAM_HEIGHT)"},
    };
    for (const Case& c : cases) {
        VideoStreamParams record;
        EXPECT_FALSE(session->parseVsParam(QorMessage(c.json), record)) << c.json;
        EXPECT_TRUE(log.contains(c.line)) << c.json;
    }
    // A refused first message leaves the session waiting for its first
    // parameters, nothing of it taken.
    EXPECT_FALSE(handle(R"({"type":102,"session":0,"SrvVSCnfNo":3,"SrvVSFr":"fast"})"));
    EXPECT_EQ(session->streamParams().configNo, -1);
    EXPECT_EQ(session->streamParams().width, 0);
}

TEST_F(Session, StatisticsRequestsGetAckOrStats) {
    EXPECT_TRUE(handle(R"({"type":12,"session":0})"));
    EXPECT_TRUE(handle(R"({"type":122,"session":0,"StatSvrFrNo":7,"StatOnlyAck":true})"));
    EXPECT_TRUE(sent(R"({"CSSvrFno":7,"session":0,"type":22})", "Stat Request Ack"));
    // Without StatOnlyAck the last choice stays.
    EXPECT_TRUE(handle(R"({"type":122,"session":0,"StatSvrFrNo":8})"));
    EXPECT_TRUE(sent(R"({"CSSvrFno":8,"session":0,"type":22})", "Stat Request Ack"));
    // Without a frame number the answer carries -1.
    EXPECT_TRUE(handle(R"({"type":122,"session":0,"StatOnlyAck":false})"));
    EXPECT_TRUE(log.contains("\"CSSvrFno\":-1,"));
    EXPECT_TRUE(log.contains("\"type\":16}', Stats"));
    // A request that fails to parse is answered all the same.
    EXPECT_TRUE(handle(R"({"type":122,"session":0,"StatSvrFrNo":9,"StatClCnt":"many"})"));
    EXPECT_TRUE(log.contains("Retrieved invalid value for StatClCnt (QOR_SVR_STAT_REQUEST_CLIENT_COUNT)"));
    EXPECT_EQ(log.count("\"type\":16}', Stats"), 2);
}

TEST_F(Session, OtherMessagesAreRefused) {
    EXPECT_FALSE(handle(R"({"type":7})"));
    EXPECT_TRUE(log.contains("Session 0: Message not handled {\"type\":7}"));
    EXPECT_FALSE(handle(R"({"session":0})"));
    EXPECT_TRUE(log.contains("Retrieved invalid value for type (QOR_MSG_TYPE)"));
    EXPECT_FALSE(handle(R"({"type":12,"session":"a"})"));
}
