// A screen session with its real decoder: access units sent by the fake
// server on the video socket reach a fake canvas, parameter changes restart
// the decoder only when they must, damaged units ask for a resync, and the
// end of the screen gives the canvas back.
#include "AccessUnitSplitter.h"
#include "CanvasRegistry.h"
#include "ConnectionFixture.h"
#include "DemoMedia.h"
#include "FakeCanvas.h"
#include "QorCanvasListEntry.h"
#include "QorMessage.h"
#include "ServerConnectionValues.h"
#include "StreamDecoder.h"
#include "TestStreams.h"
#include "VideoBufferPool.h"

#include <fstream>
#include <iterator>

using namespace qor;

namespace {

const char* const CLIENT_ID_4_3 =
    R"({"type":100,"NetProtVer":"4.3","SvrVer":"14.0.0","ClntID":"client-1","Paused":false})";

class DecodingSession : public StartedProxyTest {
protected:
    void SetUp() override {
        offerCanvas();
        StartedProxyTest::SetUp();
        const TestStream stream = makeTestStream(tempDir.path(), "screen.h264", 192, 108, 30, 1000);
        std::ifstream in(stream.path, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (const auto& unit :
             AccessUnitSplitter::split(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()))
            units.push_back(bytes.substr(unit.offset, unit.length));
    }

    // Client id, one screen, its set-up and parameters; the video socket.
    void startScreen(const std::string& parameters =
                         R"({"type":102,"session":0,"SrvVSWth":192,"SrvVSHgt":108,"SrvVSFr":25,"VConf":"0,0,8"})") {
        fromPage(CLIENT_ID_4_3);
        fromPage(R"({"type":101,"SvrPNumScrs":1})");
        fromPage(R"({"type":12,"session":0})");
        fromPage(parameters);
        AcceptedSocket accepted = server->waitForSocket(20000);
        ASSERT_EQ(accepted.target, "http://127.0.0.1/ws/desktop/screen/client-1/0");
        video = std::move(accepted.socket);
        ASSERT_FALSE(toServer("\"type\":14").empty());
    }
    void sendUnits(std::size_t count) {
        for (std::size_t i = 0; i < count && i < units.size(); ++i)
            video->sendFrame(units[i].data(), static_cast<int>(units[i].size()), Poco::Net::WebSocket::FRAME_BINARY);
    }

    std::vector<std::string> units;
    std::unique_ptr<Poco::Net::WebSocket> video;
};

} // namespace

TEST_F(DecodingSession, AccessUnitsReachTheCanvas) {
    startScreen();
    sendUnits(units.size());
    EXPECT_TRUE(eventually([&] { return canvas.frames.load() >= static_cast<int>(units.size()) - 2; }))
        << canvas.frames.load() << " of " << units.size();
    // The receive buffers come from the pool and go back to it: once the
    // units are decoded only the two receivers' own buffers (page and
    // video) and the kept free ones remain, however many units went through.
    const std::size_t bound = VideoBufferPool::KEEP_FREE + 2;
    EXPECT_TRUE(eventually([&] { return VideoBufferPool::allocatedCount() <= bound; }))
        << VideoBufferPool::allocatedCount();

    fromPage(R"({"type":122,"session":0,"StatSvrFrNo":30,"StatOnlyAck":false})");
    const std::string stats = toServer("\"type\":16");
    ASSERT_FALSE(stats.empty());
    EXPECT_GE(QorMessage(stats).getInt("CSFno"), static_cast<int>(units.size()) - 2) << stats;
}

TEST_F(DecodingSession, OnlyASizeOrEncodingChangeRestartsTheDecoder) {
    startScreen();
    fromPage(R"({"type":102,"session":0,"SrvVSWth":192,"SrvVSHgt":108,"SrvVSFr":30,"VConf":"0,0,8"})");
    EXPECT_FALSE(toServer("\"type\":14").empty());
    EXPECT_TRUE(log.contains("Session 0: Stream frame rate changed 25 -> 30"));
    EXPECT_TRUE(log.contains("Session 0: Stream parameter do not require reset of decoder"));
    EXPECT_FALSE(log.contains("Previous decoder still active"));

    fromPage(R"({"type":102,"session":0,"SrvVSWth":192,"SrvVSHgt":120,"SrvVSFr":30,"VConf":"0,0,8"})");
    EXPECT_FALSE(toServer("\"type\":14").empty());
    EXPECT_TRUE(log.contains("Session 0: Stream size changed 192x108 ->  192x120"));
    EXPECT_TRUE(log.contains("Session 0: Previous decoder still active"));
    EXPECT_TRUE(log.contains("Session 0: Disposing canvas, id: 0"));
    EXPECT_TRUE(log.contains("Session 0: Previous decoder has been shutdown"));
}

// A size no frame can have is ignored where it is announced: the decoder
// starts at the default size and the pictures come with their own.
TEST_F(DecodingSession, AnnouncedSizesNoFrameCanHaveAreIgnored) {
    startScreen(R"({"type":102,"session":0,"SrvVSWth":2147483647,"SrvVSHgt":2147483647,"VConf":"0,0,8"})");
    EXPECT_TRUE(log.contains("Session 0: Ignoring stream size 2147483647x2147483647, out of range"));
    sendUnits(10);
    EXPECT_TRUE(eventually([&] { return canvas.frames.load() >= 8; })) << canvas.frames.load();

    // Later, the session keeps the size it has: no decoder restart.
    fromPage(R"({"type":102,"session":0,"SrvVSWth":46341,"SrvVSHgt":46341,"VConf":"0,0,8"})");
    EXPECT_FALSE(toServer("\"type\":14").empty());
    EXPECT_TRUE(log.contains("Session 0: Ignoring stream size 46341x46341, out of range"));
    EXPECT_TRUE(log.contains("Session 0: Stream parameter do not require reset of decoder"));
    EXPECT_FALSE(log.contains("Stream size changed"));
    const int before = canvas.frames.load();
    video->sendFrame(units[10].data(), static_cast<int>(units[10].size()), Poco::Net::WebSocket::FRAME_BINARY);
    EXPECT_TRUE(eventually([&] { return canvas.frames.load() > before; }));

    fromPage(R"({"type":102,"session":0,"SrvVSWth":0,"SrvVSHgt":-3,"VConf":"0,0,8"})");
    EXPECT_FALSE(toServer("\"type\":14").empty());
    EXPECT_TRUE(log.contains("Session 0: Ignoring stream size 0x-3, out of range"));
    EXPECT_FALSE(log.contains("Stream size changed"));
}

TEST_F(DecodingSession, DamagedUnitsAskForAResync) {
    startScreen();
    const std::string junk(64, '\x17');
    for (int i = 0; i < 24; ++i)
        video->sendFrame(junk.data(), static_cast<int>(junk.size()), Poco::Net::WebSocket::FRAME_BINARY);
    EXPECT_EQ(toServer("\"type\":30"), R"({"session":0,"type":30})");
    EXPECT_TRUE(log.contains("Session 0: Session 0 lost decoding sync"));
}

TEST_F(DecodingSession, EndOfTheOnlyScreenClearsAndKeepsTheCanvas) {
    startScreen();
    sendUnits(5);
    fromPage(R"({"type":109,"session":0})");
    EXPECT_TRUE(eventually([&] { return proxyEnded(); }));
    EXPECT_EQ(canvas.clears.load(), 1);
    EXPECT_EQ(canvas.deletes.load(), 0);
    proxy.reset();
    EXPECT_EQ(retrieveCanvas(CANVAS_ID_UNASSIGNED, false), &canvas);
}

TEST_F(DecodingSession, ClosedVideoSocketEndsTheScreen) {
    startScreen();
    video->shutdown();
    EXPECT_TRUE(log.waitFor("Session 0 (Video-Revr): Control connection closed", 20000));
    EXPECT_TRUE(eventually([&] { return proxyEnded(); }));
    EXPECT_TRUE(log.contains("Session 0: Session 0 cleaned"));
}

// With two screens each has its own window: ending one deletes that window
// and leaves the other screen and the connection running.
TEST_F(DecodingSession, EndOfOneOfTwoScreensDeletesItsWindow) {
    FakeCanvas first(0);
    FakeCanvas second(1);
    ASSERT_TRUE(addCanvas(&first));
    ASSERT_TRUE(addCanvas(&second));
    fromPage(CLIENT_ID_4_3);
    fromPage(R"({"type":101,"SvrPNumScrs":2})");
    EXPECT_TRUE(eventually([&] { return canvas.canvasId() == CANVAS_ID_CONTROL_WINDOW; }));
    std::unique_ptr<Poco::Net::WebSocket> videos[2];
    for (int screen = 0; screen < 2; ++screen) {
        const std::string index = std::to_string(screen);
        fromPage(R"({"type":12,"session":)" + index + "}");
        fromPage(R"({"type":102,"session":)" + index + R"(,"SrvVSWth":192,"SrvVSHgt":108,"VConf":"0,0,8"})");
        AcceptedSocket accepted = server->waitForSocket(20000);
        EXPECT_EQ(accepted.target, "http://127.0.0.1/ws/desktop/screen/client-1/" + index);
        videos[screen] = std::move(accepted.socket);
        EXPECT_EQ(toServer("\"type\":14"), R"({"session":)" + index + R"(,"type":14})");
    }
    EXPECT_TRUE(log.contains("Session 0, display 1: Starting fresh decoder"));

    fromPage(R"({"type":109,"session":1})");
    EXPECT_TRUE(eventually([&] { return second.deletes.load() == 1; }));
    EXPECT_TRUE(log.waitFor("Session 0: Session 1 cleaned", 20000));
    fromPage(R"({"type":122,"session":0,"StatSvrFrNo":3,"StatOnlyAck":true})");
    EXPECT_EQ(toServer("\"type\":22"), R"({"CSSvrFno":3,"session":0,"type":22})");
    EXPECT_FALSE(proxyEnded());
    EXPECT_EQ(first.deletes.load(), 0);
    // The end of the connection deletes the other window too.
    proxy.reset();
    EXPECT_EQ(first.deletes.load(), 1);
    screenCount.store(1);
}

namespace {

// Where a screen's stream ends for the client.
enum class StreamEnd { VIDEO_SOCKET_CLOSED, SCREEN_ENDED, SIZE_CHANGED };

class DecodingSessionEnd : public DecodingSession, public ::testing::WithParamInterface<StreamEnd> {};

std::string streamEndName(const ::testing::TestParamInfo<StreamEnd>& info) {
    switch (info.param) {
    case StreamEnd::VIDEO_SOCKET_CLOSED: return "VideoSocketClosed";
    case StreamEnd::SCREEN_ENDED: return "ScreenEnded";
    case StreamEnd::SIZE_CHANGED: return "SizeChanged";
    }
    return "Unknown";
}

} // namespace

// Wherever the stream ends, the pictures the decoder holds back for display
// order reach the canvas: all pictures of a stream with B-frames, once.
TEST_P(DecodingSessionEnd, HeldPicturesReachTheCanvas) {
    startScreen(R"({"type":102,"session":0,"SrvVSWth":320,"SrvVSHgt":240,"VConf":"3,0,8"})");
    const auto stream = readAccessUnits("bpyramid.h264");
    for (const auto& unit : stream)
        video->sendFrame(unit.data(), static_cast<int>(unit.size()), Poco::Net::WebSocket::FRAME_BINARY);
    const int pictures = static_cast<int>(stream.size());
    // Every unit decoded; two pictures wait for the end of the stream.
    ASSERT_TRUE(eventually([&] { return canvas.frames.load() == pictures - 2; })) << canvas.frames.load();
    switch (GetParam()) {
    case StreamEnd::VIDEO_SOCKET_CLOSED:
        video->shutdown();
        EXPECT_TRUE(eventually([&] { return proxyEnded(); }));
        break;
    case StreamEnd::SCREEN_ENDED:
        fromPage(R"({"type":109,"session":0})");
        EXPECT_TRUE(eventually([&] { return proxyEnded(); }));
        break;
    case StreamEnd::SIZE_CHANGED:
        fromPage(R"({"type":102,"session":0,"SrvVSWth":320,"SrvVSHgt":256,"VConf":"3,0,8"})");
        EXPECT_FALSE(toServer("\"type\":14").empty());
        EXPECT_TRUE(log.waitFor("Session 0: Previous decoder has been shutdown", 20000));
        break;
    }
    // The line comes after the last of them.
    EXPECT_TRUE(log.waitFor(": Handed out 2 held pictures at the end of the stream", 20000));
    EXPECT_EQ(canvas.frames.load(), pictures);
}

INSTANTIATE_TEST_SUITE_P(Ends, DecodingSessionEnd,
                         ::testing::Values(StreamEnd::VIDEO_SOCKET_CLOSED, StreamEnd::SCREEN_ENDED,
                                           StreamEnd::SIZE_CHANGED),
                         streamEndName);
