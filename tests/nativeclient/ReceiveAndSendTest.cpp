#include "LogCapture.h"
#include "NativeClientCtrlReceiveThread.h"
#include "NativeClientDataFrameEvent.h"
#include "NativeClientSenderThread.h"
#include "NativeClientServerProxy.h"
#include "QorWebSocket.h"
#include "ServerConnectionValues.h"
#include "VideoBufferPool.h"
#include "WebSocketAcceptor.h"

#include "ConnectionFixture.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace qor;

namespace {

// A socket pair: the test's end and the client's end, and an owner proxy
// that never starts (its queue collects what the threads report).
class Threads : public ::testing::Test {
protected:
    void SetUp() override {
        serverIsSecure.store(false);
        proxy.reset(new NativeClientServerProxy("127.0.0.1"));
        peer.reset(connectPocoWebSocket("127.0.0.1", acceptor.port()));
        client.reset(new QorWebSocket(acceptor.waitForSocket(20000), "test"));
    }
    void TearDown() override {
        receiver.reset();
        sender.reset();
        proxy.reset();
    }

    void startReceiver() {
        receiver.reset(new NativeClientCtrlReceiveThread(proxy.get(), " (WebClCtrl)"));
        ASSERT_TRUE(receiver->setSocket(client.get()));
        receiver->start(-1);
    }

    LogCapture log{"debug"};
    WebSocketAcceptor acceptor;
    std::unique_ptr<NativeClientServerProxy> proxy;
    std::unique_ptr<Poco::Net::WebSocket> peer;
    std::unique_ptr<QorWebSocket> client;
    std::unique_ptr<NativeClientCtrlReceiveThread> receiver;
    std::unique_ptr<NativeClientSenderThread> sender;
};

} // namespace

TEST_F(Threads, ReceiverTakesOneSocket) {
    receiver.reset(new NativeClientCtrlReceiveThread(proxy.get(), " (WebClCtrl)"));
    EXPECT_EQ(receiver->name(), "Session 0 (WebClCtrl)");
    EXPECT_EQ(receiver->peerText(), "unconnected");
    EXPECT_FALSE(receiver->setSocket(nullptr));
    EXPECT_TRUE(log.contains("Session 0 (WebClCtrl): Socket not defined"));
    EXPECT_TRUE(receiver->setSocket(client.get()));
    EXPECT_EQ(receiver->peerText(), client->peerAddress());
    QorWebSocket other(connectPocoWebSocket("127.0.0.1", acceptor.port()), "other");
    EXPECT_FALSE(receiver->setSocket(&other));
    EXPECT_TRUE(log.contains("Session 0 (WebClCtrl): Socket already there, (" + client->name() + ")"));
    EXPECT_EQ(receiver->socket(), client.get());
    delete acceptor.waitForSocket(20000);
}

TEST_F(Threads, ReceiverWithoutSocketEndsAtOnce) {
    receiver.reset(new NativeClientCtrlReceiveThread(proxy.get(), " (WebClCtrl)"));
    receiver->start(-1);
    EXPECT_TRUE(eventually([&] { return proxy->queuedEvents() == 1; }));
    EXPECT_TRUE(log.contains("Session 0 (WebClCtrl): Socket not defined"));
}

TEST_F(Threads, PingsAreAnsweredAndFramesCounted) {
    startReceiver();
    peer->sendFrame("p", 1, Poco::Net::WebSocket::FRAME_FLAG_FIN | Poco::Net::WebSocket::FRAME_OP_PING);
    for (int i = 0; i < 240; ++i) sendTextFrame(*peer, R"({"type":7})");
    EXPECT_TRUE(eventually([&] { return proxy->queuedEvents() == 240; }));
    EXPECT_TRUE(log.contains("Session 0 (WebClCtrl); Received frame @ no 120"));
    EXPECT_TRUE(log.contains("Session 0 (WebClCtrl); Received frame @ no 240"));
    EXPECT_EQ(receiver->frameCount(), 240);
    int flags = 0;
    char buffer[16];
    peer->setReceiveTimeout(Poco::Timespan(20, 0));
    EXPECT_EQ(peer->receiveFrame(buffer, sizeof buffer, flags), 1);
    EXPECT_EQ(flags & Poco::Net::WebSocket::FRAME_OP_BITMASK, Poco::Net::WebSocket::FRAME_OP_PONG);
}

// A receive time-out only bounds one wait; a stop ends the thread quietly
// and still reports the end to the owner.
TEST_F(Threads, TimeoutKeepsWaitingAndStopEndsQuietly) {
    startReceiver();
    EXPECT_TRUE(log.waitFor("Session 0 (WebClCtrl): Timeout", 20000));
    EXPECT_TRUE(receiver->isRunning());
    receiver->stopReceiving();
    EXPECT_FALSE(log.contains("Control connection closed"));
    EXPECT_EQ(proxy->queuedEvents(), 1);
    EXPECT_EQ(proxy->state() & ThreadState::STOP_REQUESTED, 0);
}

TEST_F(Threads, PeerCloseStopsTheOwner) {
    startReceiver();
    peer->shutdown();
    EXPECT_TRUE(eventually([&] { return !receiver->isRunning() && proxy->queuedEvents() == 1; }));
    EXPECT_NE(proxy->state() & ThreadState::STOP_REQUESTED, 0);
    EXPECT_TRUE(log.contains("Session 0 (WebClCtrl): Control connection closed, (" + client->name() + ")"));
}

TEST_F(Threads, SenderStopsAtTheFirstFailedSend) {
    sender.reset(new NativeClientSenderThread(proxy.get()));
    EXPECT_EQ(sender->name(), "Session 0 (Send)");
    ASSERT_TRUE(sender->setSocket(client.get()));
    EXPECT_FALSE(sender->setSocket(nullptr));
    client->close(true);
    sender->start(-1);
    sender->postEvent(new NativeClientDataFrameEvent(R"({"type":2})", "first", false));
    sender->postEvent(new NativeClientDataFrameEvent(R"({"type":2})", "second", false));
    EXPECT_TRUE(eventually([&] { return proxy->queuedEvents() == 1; }));
    EXPECT_TRUE(log.waitFor("Session 0 (Send): Failed to send \"first\"", 20000));
    sender->stopEventLoop();
    EXPECT_FALSE(log.contains("\"second\""));
    EXPECT_EQ(proxy->queuedEvents(), 1);
}

TEST_F(Threads, IdleSenderEndsOnRequest) {
    sender.reset(new NativeClientSenderThread(proxy.get()));
    sender->setSocket(client.get());
    sender->start(-1);
    // Let the body reach its wait, where the wake-up finds no event.
    EXPECT_TRUE(eventually([&] { return sender->isRunning(); }));
    Poco::Thread::sleep(200);
    sender->stopEventLoop();
    EXPECT_TRUE(log.contains("Session 0 (Send): Received termination request"));
}

TEST(BufferPool, ReusesFreeBuffersUpToItsLimit) {
    const std::size_t before = VideoBufferPool::allocatedCount();
    char* first = nullptr;
    {
        VideoBufferPool::Buffer buffer = VideoBufferPool::acquire();
        first = buffer.get();
        buffer.get()[VideoBufferPool::BUFFER_SIZE] = '\0';  // room for the terminating zero
    }
    {
        VideoBufferPool::Buffer again = VideoBufferPool::acquire();
        EXPECT_EQ(again.get(), first);
    }
    std::vector<VideoBufferPool::Buffer> many;
    for (std::size_t i = 0; i < VideoBufferPool::KEEP_FREE + 3; ++i) many.push_back(VideoBufferPool::acquire());
    EXPECT_EQ(VideoBufferPool::allocatedCount(), before + VideoBufferPool::KEEP_FREE + 3);
    many.clear();
    EXPECT_EQ(VideoBufferPool::freeCount(), VideoBufferPool::KEEP_FREE);
    EXPECT_EQ(VideoBufferPool::allocatedCount(), before + VideoBufferPool::KEEP_FREE);
}
