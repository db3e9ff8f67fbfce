#include "QorReceiveThread.h"

#include "LogCapture.h"
#include "ThreadTestHelpers.h"

#include <gtest/gtest.h>

#include <atomic>

using qor::QorReceiveThread;
using qor::QorWebSocket;
using testing_threads::waitUntil;

namespace {

// A receive thread whose "receive" is a short sleep; it records whether the
// stop flag was up when its loop ended.
class PollingReceiver : public QorReceiveThread {
public:
    PollingReceiver() { setName("Session 1 (WebClCtrl)"); }
    ~PollingReceiver() override { stopReceiving(); }

    void eventLoop() override {
        while (isRunning()) Poco::Thread::sleep(5);
        sawStopFlag = stopRequested();
    }

    std::atomic<bool> sawStopFlag{false};
};

// Only stored and compared, never dereferenced.
QorWebSocket* fakeSocket(int& storage) { return reinterpret_cast<QorWebSocket*>(&storage); }

} // namespace

TEST(QorReceiveThread, SetSocketKeepsTheFirstSocket) {
    int first = 0, second = 0;
    PollingReceiver receiver;
    EXPECT_EQ(receiver.socket(), nullptr);
    EXPECT_TRUE(receiver.setSocket(fakeSocket(first)));
    EXPECT_FALSE(receiver.setSocket(fakeSocket(second)));
    EXPECT_EQ(receiver.socket(), fakeSocket(first));
}

TEST(QorReceiveThread, StopReceivingEndsTheLoopQuietlyWithTheFlagSet) {
    LogCapture capture("debug");
    PollingReceiver receiver;
    receiver.start(-1);
    ASSERT_TRUE(waitUntil([&] { return receiver.isRunning(); }));
    receiver.stopReceiving();
    EXPECT_EQ(receiver.state(), qor::ThreadState::JOINED);
    EXPECT_TRUE(receiver.stopRequested());
    EXPECT_TRUE(receiver.sawStopFlag.load());
    EXPECT_FALSE(capture.contains("Stopping and joining thread"));
    EXPECT_TRUE(capture.contains("Session 1 (WebClCtrl): Thread (" + receiver.threadIdText() + ") joined"));
}

TEST(QorReceiveThread, StopReceivingOnANeverStartedThread) {
    PollingReceiver receiver;
    receiver.stopReceiving();
    EXPECT_EQ(receiver.state(), qor::ThreadState::JOINED);
    EXPECT_TRUE(receiver.stopRequested());
}
