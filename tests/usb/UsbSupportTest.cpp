// The client's USB support against the real daemon (or the fake one where a
// daemon must misbehave): registration of the server connection, the poll
// thread's ticks with their reports and repeats, ticks that survive
// whatever the daemon answers, the stop within one tick, the daemon's
// relaunches and the give-up, the server's allow list, and the locks under
// use from several threads at once.
#include "NativeClientVHSupport.h"
#include "NativeClientVHThread.h"
#include "UsbControlMessages.h"
#include "UsbDeviceList.h"
#include "VHProxyLink.h"
#include "VHProxySupport.h"
#include "VHSupport.h"

#include "LinkTestSupport.h"
#include "LogCapture.h"
#include "RecordedConnection.h"
#include "ServiceTestSupport.h"

#include "ProcessHelpers.h"
#include "QorMessage.h"
#include "Utilities.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <Poco/JSON/Array.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

namespace {

// The flash drive unplugged, a keyboard plugged in and bound.
const std::string mouseAndKeyboard =
    "{\"VHSvrName\":\"desk-7\",\"VHDevList\":["
    "{\"VHDevAddress\":\"1.1\",\"VHDevVendorId\":1133,\"VHDevProductId\":49271,\"VHDevPath\":\"1-1\","
    "\"VHDevPrettyName\":\"Optical Mouse\",\"VHDevState\":1,\"VHDevEnabled\":1},"
    "{\"VHDevAddress\":\"1.3\",\"VHDevPrettyName\":\"Keyboard\",\"VHDevState\":1,\"VHDevEnabled\":1}]}";
const std::string keyboardBound =
    "{\"VHSvrName\":\"desk-7\",\"VHDevList\":["
    "{\"VHDevAddress\":\"1.1\",\"VHDevVendorId\":1133,\"VHDevProductId\":49271,\"VHDevPath\":\"1-1\","
    "\"VHDevPrettyName\":\"Optical Mouse\",\"VHDevState\":1,\"VHDevEnabled\":1},"
    "{\"VHDevAddress\":\"1.3\",\"VHDevPrettyName\":\"Keyboard\",\"VHDevState\":2,\"VHDevEnabled\":1}]}";

// A list reply as the daemon gives it, for the fake daemon.
const std::string goodListReply =
    "{\"type\":325,\"VHErrType\":0,\"VHErrCode\":0,\"VHErrMsg\":\"\",\"VHDevList\":["
    "{\"VHDevAddress\":\"3.1\",\"VHDevPrettyName\":\"Headset\",\"VHDevState\":1,\"VHDevEnabled\":1}]}";

std::string directoryOf(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

QorMessage pageRequest(const std::string& json) { return QorMessage(json); }

int daemonStateOf(const std::string& address) {
    std::string reply;
    if (!vhProxyRequest("{\"type\":324}", reply, true)) return -1;
    const Poco::JSON::Array::Ptr list = QorMessage(reply).getMember("VHDevList").extract<Poco::JSON::Array::Ptr>();
    for (std::size_t i = 0; i < list->size(); ++i) {
        const Poco::JSON::Object::Ptr device = list->getObject(static_cast<unsigned int>(i));
        if (device->getValue<std::string>("VHDevAddress") == address) return device->getValue<int>("VHDevState");
    }
    return -1;
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    const std::int64_t deadline = monotonicMillis() + timeoutMs;
    while (!condition()) {
        if (monotonicMillis() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Starts the poll thread without start-up's launch of the daemon (the fake
// daemon cannot be launched).
void startPollThread() {
    usbSupportThread = new qor::NativeClientVHThread();
    usbSupportThread->startTimer();
}

class UsbSupport : public ::testing::Test {
protected:
    void SetUp() override {
        vhIntegrationEnabled.store(true);
        vhProxyRunning.store(false);
        vhProxyRelaunchCount.store(0);
        writeTextFile(devices(), twoDevices);
    }
    void TearDown() override {
        stopUsbSupport();
        UnregisterServerProxy();
        vhIntegrationEnabled.store(false);
        programDirectory.clear();
    }
    std::string devices() const { return files.file("devices.json"); }

    TempDir files;
    LogCapture log{"debug"};
    RecordedConnection connection;
};

} // namespace

TEST_F(UsbSupport, RegistrationKeepsTheLatestConnection) {
    RecordedConnection other;
    RegisterServerProxy(&connection);
    EXPECT_FALSE(log.contains("previous instance"));
    RegisterServerProxy(&other);
    EXPECT_TRUE(log.contains("NativeClientVHSupport: RegisterServerProxy, previous instance might not have been "
                             "unregistered"));
    updateServer("{\"type\":330}");
    EXPECT_TRUE(connection.toServer().empty());
    ASSERT_EQ(other.toServer().size(), 1u);
    EXPECT_EQ(other.toServer()[0].label, "VH Request");

    UnregisterServerProxy();
    UnregisterServerProxy();
    log.clear();
    updateServer("{\"type\":330}");
    EXPECT_EQ(log.texts(), (std::vector<std::string>{"Updating server: msg '{\"type\":330}'",
                                                     "Can't update server, not connected"}));
    EXPECT_EQ(other.toServer().size(), 1u);
}

TEST_F(UsbSupport, StartsOnePollThreadAndOnlyWhileForwardingIsOn) {
    vhIntegrationEnabled.store(false);
    startUsbSupport();
    EXPECT_EQ(usbSupportThread, nullptr);
    EXPECT_FALSE(log.contains("Starting VirtualHere Support"));

    vhIntegrationEnabled.store(true);
    startUsbSupport();
    qor::NativeClientVHThread* first = usbSupportThread;
    ASSERT_NE(first, nullptr);
    startUsbSupport();
    EXPECT_EQ(usbSupportThread, first);
    EXPECT_EQ(log.count("Starting VirtualHere Support"), 1);
    // No daemon and no service: the launch fails, the thread ticks on.
    EXPECT_TRUE(log.contains("Error launching vhproxy"));
    stopUsbSupport();
    EXPECT_EQ(usbSupportThread, nullptr);
    stopUsbSupport();
}

// One connection's life with the real daemon, tick by tick: the force-bind
// request while the remote client is not connected, the list for the page
// once the tunnel is up, the bound device reported, a connect from the
// page, its repeat on the fifth tick, and an unplug.
TEST_F(UsbSupport, TicksListReportAndRepeat) {
    DaemonProcess daemon(devices());
    RegisterServerProxy(&connection);

    qor::NativeClientVHThread::pollOnce(1);
    EXPECT_TRUE(log.contains("VHProxy process is running"));
    EXPECT_TRUE(log.contains("requestDeviceList(): Client disconnected"));
    ASSERT_EQ(connection.toServer(330).size(), 1u);
    EXPECT_TRUE(connection.toPage().empty());
    // The daemon keeps reporting the client disconnected: the server is not
    // asked again on every tick.
    qor::NativeClientVHThread::pollOnce(2);
    EXPECT_EQ(connection.toServer(330).size(), 1u);

    signalTunnelStarted();
    EXPECT_TRUE(log.contains("NativeClientVHSupport: Signaled tunnel has started"));
    qor::NativeClientVHThread::pollOnce(3);
    std::vector<QorMessage> lists = connection.toPage(325);
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(listedDevices(lists[0]), (std::vector<std::string>{"Optical Mouse:1", "Flash Drive:1"}));
    EXPECT_EQ(lists[0].getInt("VHErrCode"), 0);
    EXPECT_TRUE(log.contains("Initial device list: "));
    // Bound before the client saw it: nothing changed for the server.
    EXPECT_TRUE(connection.toServer(332).empty());

    // The page connects the mouse: daemon, page and server learn it.
    EXPECT_TRUE(handleVHRequest(pageRequest("{\"type\":326,\"VHDevAddress\":\"1.1\",\"VHDevPrettyName\":\"x\"}")));
    EXPECT_EQ(daemonStateOf("1.1"), UsbStateBindRequested);
    ASSERT_EQ(connection.toPage(326).size(), 1u);
    EXPECT_EQ(connection.toPage(326)[0].getInt("VHErrCode"), 0);
    std::vector<QorMessage> binds = connection.toServer(326);
    ASSERT_EQ(binds.size(), 1u);
    EXPECT_EQ(binds[0].getString("VHSvrName"), "desk-7");
    EXPECT_EQ(binds[0].getString("VHDevPrettyName"), "Optical Mouse");

    qor::NativeClientVHThread::pollOnce(4);
    EXPECT_EQ(connection.toServer(326).size(), 1u);
    qor::NativeClientVHThread::pollOnce(5);
    ASSERT_EQ(connection.toServer(326).size(), 2u);
    EXPECT_EQ(connection.toServer().back().label, "Bind request");

    // The bound flash drive is unplugged, a keyboard comes and is bound.
    writeTextFile(devices(), mouseAndKeyboard);
    qor::NativeClientVHThread::pollOnce(6);
    writeTextFile(devices(), keyboardBound);
    connection.clear();
    qor::NativeClientVHThread::pollOnce(7);
    std::vector<RecordedConnection::Sent> sent = connection.toServer();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].type, 332);
    EXPECT_EQ(sent[0].label, "Connect notification");
    EXPECT_EQ(QorMessage(sent[0].json).getString("VHDevAddress"), "1.3");
    EXPECT_EQ(QorMessage(sent[0].json).getString("VHSvrName"), "desk-7");

    connection.clear();
    writeTextFile(devices(), twoDevices);
    qor::NativeClientVHThread::pollOnce(8);
    connection.clear();
    writeTextFile(devices(), mouseAndKeyboard);
    qor::NativeClientVHThread::pollOnce(9);
    sent = connection.toServer();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].type, 333);
    EXPECT_EQ(QorMessage(sent[0].json).getString("VHDevAddress"), "");
    EXPECT_EQ(QorMessage(sent[0].json).getString("VHDevPrettyName"), "Flash Drive");
    EXPECT_EQ(sent[1].type, 327);
    EXPECT_EQ(QorMessage(sent[1].json).getString("VHDevAddress"), "1.2");
    EXPECT_EQ(listedDevices(connection.toPage(325).back()),
              (std::vector<std::string>{"Optical Mouse:1", "Keyboard:1"}));
}

// A connection that replaces another learns the devices bound already.
TEST_F(UsbSupport, NewConnectionLearnsTheBoundDevices) {
    DaemonProcess daemon(devices());
    signalTunnelStarted();
    RegisterServerProxy(&connection);
    qor::NativeClientVHThread::pollOnce(1);
    ASSERT_EQ(connection.toPage(325).size(), 1u);

    RecordedConnection next;
    UnregisterServerProxy();
    RegisterServerProxy(&next);
    qor::NativeClientVHThread::pollOnce(2);
    const std::vector<QorMessage> connected = next.toServer(332);
    ASSERT_EQ(connected.size(), 1u);
    EXPECT_EQ(connected[0].getString("VHDevAddress"), "1.2");
    EXPECT_EQ(next.toPage(325).size(), 1u);
    qor::NativeClientVHThread::pollOnce(3);
    EXPECT_EQ(next.toServer(332).size(), 1u);
}

// Whatever the daemon answers, a tick ends normally; an answer that cannot
// be read counts as no answer (the daemon is taken to be down).
TEST_F(UsbSupport, TicksSurviveEveryReply) {
    FakeDaemon fake("silent");
    RegisterServerProxy(&connection);
    // As on the poll thread: no exchange waits longer than a second.
    setThreadLinkTimeoutMs(qor::NativeClientVHThread::LINK_TIMEOUT_MS);
    const struct {
        std::string mode;
        bool down;
    } cases[] = {
        {"silent", true},
        {"reset", true},
        {"partial", true},
        {"reply garbage", true},
        {"reply [1,2]", true},
        {"reply {\"VHErrType\":1,\"VHErrCode\":0}", true},
        {"reply {\"VHErrType\":2,\"VHErrCode\":7}", true},
        {"reply {\"VHErrType\":\"x\",\"VHErrCode\":0,\"VHErrMsg\":\"\"}", true},
        {"reply {\"VHErrType\":0,\"VHErrCode\":0,\"VHErrMsg\":\"\",\"VHDevList\":7}", true},
        {"reply {\"VHErrType\":0,\"VHErrCode\":0,\"VHErrMsg\":\"\",\"VHDevList\":[5,\"x\",null]}", true},
        {"reply {\"VHErrCode\":0}", false},
        {"reply {\"VHErrType\":3,\"VHErrCode\":0}", false},
    };
    for (const auto& c : cases) {
        fake.setMode(c.mode);
        vhProxyRunning.store(true);
        // Given up already: no relaunch, but every unreadable reply counts.
        vhProxyRelaunchCount.store(10);
        connection.clear();
        EXPECT_NO_THROW(qor::NativeClientVHThread::pollOnce(1)) << c.mode;
        EXPECT_EQ(vhProxyRelaunchCount.load(), c.down ? 11 : 10) << c.mode;
        if (c.down) {
            EXPECT_TRUE(connection.toPage().empty()) << c.mode;
        }
    }
}

// Status replies that cannot be read: the probe of start-up and the page's
// connect take them as no answer, nothing escapes.
TEST_F(UsbSupport, UnreadableStatusRepliesAreNoAnswer) {
    FakeDaemon fake("silent");
    RegisterServerProxy(&connection);
    for (const std::string mode : {"reply [1]", "reply \"text\"", "reply {}", "reply {\"VHSvrRunning\":\"maybe\"}",
                                   "reset"}) {
        fake.setMode(mode);
        connection.clear();
        bool fits = true;
        EXPECT_NO_THROW(probeVHProxy(&fits)) << mode;
        EXPECT_NO_THROW(EXPECT_FALSE(handleVHRequest(pageRequest("{\"type\":326,\"VHDevAddress\":\"1.1\"}"))))
            << mode;
        const std::vector<QorMessage> answers = connection.toPage(326);
        ASSERT_EQ(answers.size(), 1u) << mode;
        EXPECT_NE(answers[0].getInt("VHErrCode"), 0) << mode;
        ScopedOwnerLock guard(usbSupportLock);
        EXPECT_EQ(currentVHServerName, "") << mode;
    }
}

// A reply that once ended the thread: the thread ticks on, and takes up
// the lists as soon as the daemon answers properly.
TEST_F(UsbSupport, PollThreadLivesThroughUnreadableReplies) {
    FakeDaemon fake("reply {\"VHErrType\":1,\"VHErrCode\":0}");
    vhProxyRunning.store(true);
    vhProxyRelaunchCount.store(10);
    RegisterServerProxy(&connection);
    startPollThread();
    ASSERT_TRUE(waitUntil([] { return pollTickCount.load() >= 2; }, 5000));
    EXPECT_TRUE(usbSupportThread->isRunning());
    EXPECT_TRUE(connection.toPage().empty());
    fake.setMode("reply " + goodListReply);
    ASSERT_TRUE(connection.waitForPage(325, 1, 4000));
    EXPECT_EQ(listedDevices(connection.toPage(325).front()), std::vector<std::string>{"Headset:1"});
}

// An exit while the daemon is silent waits at most for the exchange under
// way, which is bounded below one tick.
TEST_F(UsbSupport, StopEndsThePollThreadWithinOneTickWhileTheDaemonIsSilent) {
    FakeDaemon fake("silent");
    vhProxyRunning.store(true);
    vhProxyRelaunchCount.store(10);
    RegisterServerProxy(&connection);
    startPollThread();
    // The first tick's exchange is under way.
    ASSERT_TRUE(waitUntil([] { return pollTickCount.load() >= 1; }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    const std::int64_t start = monotonicMillis();
    stopUsbSupport();
    const std::int64_t took = monotonicMillis() - start;
    EXPECT_LT(took, qor::NativeClientVHThread::POLL_PERIOD_MS) << took;
    EXPECT_EQ(usbSupportThread, nullptr);
}

// The daemon found unreachable three times: relaunched, relaunched, then
// USB forwarding given up with one report to the page; a fourth time
// changes nothing.
TEST_F(UsbSupport, RelaunchesTheDaemonTwiceThenGivesUp) {
    ServiceRoot root;
    programDirectory = root.programFolder();
    root.registerService();
    ASSERT_TRUE(startVHProxyService());
    RegisterServerProxy(&connection);
    vhProxyRunning.store(true);
    for (int time = 1; time <= 4; ++time) {
        const std::uint32_t daemon = findProcessId("vhproxy");
        if (time <= 3) {
            ASSERT_NE(daemon, 0u) << time;
            ::kill(static_cast<pid_t>(daemon), SIGKILL);
            ASSERT_TRUE(waitUntil([daemon] { return findProcessId("vhproxy") != daemon; }, 10000)) << time;
        }
        EXPECT_FALSE(requestDeviceList()) << time;
        EXPECT_EQ(log.count("Trying to relaunch vhproxy"), std::min(time, 2)) << time;
        if (time <= 2) {
            EXPECT_TRUE(linkPortOpen()) << time;
            EXPECT_TRUE(vhIntegrationEnabled.load()) << time;
        }
    }
    EXPECT_EQ(log.count("Not restarting vhproxy, tried it 3 times"), 1);
    EXPECT_EQ(log.count("Service vhproxy stopped, disabling VirtualHere support."), 1);
    EXPECT_FALSE(vhIntegrationEnabled.load());
    EXPECT_FALSE(vhProxyRunning.load());
    const std::vector<QorMessage> reports = connection.toPage(325);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].getInt("VHErrType"), 4);
    EXPECT_EQ(reports[0].getInt("VHErrCode"), 999);
    EXPECT_EQ(reports[0].getString("VHErrMsg"),
              "Internal error occured.  Please restart the client to reenable USB support.");
}

// The server's allow list: rebuilt whenever its text changes (also after
// lists were loaded with none), a device it disables is listed only when
// the server asks for all, and cannot be connected.
TEST_F(UsbSupport, AllowListFollowsTheServer) {
    DaemonProcess daemon(devices());
    signalTunnelStarted();
    RegisterServerProxy(&connection);
    vhProxyRunning.store(true);

    ASSERT_TRUE(requestDeviceList());
    EXPECT_EQ(listedDevices(connection.toPage(325).back()),
              (std::vector<std::string>{"Optical Mouse:1", "Flash Drive:1"}));

    setAllowedUsbDevicesText(" flash , KEY ");
    ASSERT_TRUE(requestDeviceList());
    EXPECT_TRUE(log.contains("Adding allow list USB entry FLASH"));
    EXPECT_TRUE(log.contains("Adding allow list USB entry KEY"));
    EXPECT_EQ(listedDevices(connection.toPage(325).back()), std::vector<std::string>{"Flash Drive:1"});
    showAllUsbDevices.store(true);
    ASSERT_TRUE(requestDeviceList());
    EXPECT_EQ(listedDevices(connection.toPage(325).back()),
              (std::vector<std::string>{"Optical Mouse:0", "Flash Drive:1"}));
    showAllUsbDevices.store(false);

    // The disabled mouse cannot be connected; the page learns why.
    connection.clear();
    EXPECT_TRUE(handleVHRequest(pageRequest("{\"type\":326,\"VHDevAddress\":\"1.1\"}")));
    EXPECT_EQ(daemonStateOf("1.1"), UsbStateExported);
    EXPECT_TRUE(connection.toServer().empty());
    std::vector<QorMessage> answers = connection.toPage(326);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].getInt("VHErrCode"), VHReplyCode::DeviceNotAllowed);
    EXPECT_EQ(answers[0].getString("VHDevAddress"), "1.1");
    EXPECT_NE(answers[0].getString("VHErrMsg").find("Optical Mouse"), std::string::npos);

    // The server changes its mind.
    setAllowedUsbDevicesText("mouse");
    ASSERT_TRUE(requestDeviceList());
    EXPECT_EQ(listedDevices(connection.toPage(325).back()), std::vector<std::string>{"Optical Mouse:1"});
    EXPECT_TRUE(handleVHRequest(pageRequest("{\"type\":326,\"VHDevAddress\":\"1.1\"}")));
    EXPECT_EQ(daemonStateOf("1.1"), UsbStateBindRequested);
    EXPECT_EQ(connection.toServer(326).size(), 1u);
}

// Requests the page makes that fail reach it with their reason.
TEST_F(UsbSupport, FailedPageRequestsAreAnswered) {
    RegisterServerProxy(&connection);
    vhProxyRunning.store(true);
    vhProxyRelaunchCount.store(10);
    {
        // No daemon at all.
        EXPECT_TRUE(handleVHRequest(pageRequest("{\"type\":324}")));
        EXPECT_FALSE(handleVHRequest(pageRequest("{\"type\":326,\"VHDevAddress\":\"1.1\"}")));
        const std::vector<QorMessage> answers = connection.toPage(325);
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0].getInt("VHErrCode"), VHReplyCode::DaemonNotAnswering);
        ASSERT_EQ(connection.toPage(326).size(), 1u);
        EXPECT_EQ(connection.toPage(326)[0].getInt("VHErrCode"), VHReplyCode::DaemonNotAnswering);
    }
    DaemonProcess daemon(devices());
    signalTunnelStarted();
    ASSERT_TRUE(requestDeviceList());
    const struct {
        std::string request;
        int type;
        int code;
    } cases[] = {
        {"{\"type\":326}", 326, VHReplyCode::BadRequest},
        {"{\"type\":327,\"VHDevAddress\":null}", 327, VHReplyCode::BadRequest},
        {"{\"type\":326,\"VHDevAddress\":\"a\\u0001b\"}", 326, VHReplyCode::BadRequest},
        {"{\"type\":326,\"VHDevAddress\":\"\"}", 326, VHReplyCode::DeviceNotFound},
        {"{\"type\":326,\"VHDevAddress\":\"9.9\"}", 326, VHReplyCode::DeviceNotFound},
    };
    for (const auto& c : cases) {
        connection.clear();
        handleVHRequest(pageRequest(c.request));
        const std::vector<QorMessage> answers = connection.toPage(c.type);
        ASSERT_EQ(answers.size(), 1u) << c.request;
        EXPECT_EQ(answers[0].getInt("VHErrType"), 2) << c.request;
        EXPECT_EQ(answers[0].getInt("VHErrCode"), c.code) << c.request;
        EXPECT_FALSE(answers[0].getString("VHErrMsg").empty()) << c.request;
        EXPECT_TRUE(connection.toServer().empty()) << c.request;
    }
}

// The poll thread, the page's requests, registrations and the server's
// parameters all at once: nothing deadlocks (the locks are always taken in
// one order; a sanitizer run sees any inversion).
TEST_F(UsbSupport, ConcurrentUseKeepsTheLockOrder) {
    DaemonProcess daemon(devices());
    signalTunnelStarted();
    vhProxyRunning.store(true);
    vhProxyRelaunchCount.store(10);
    RegisterServerProxy(&connection);
    RecordedConnection other;
    std::atomic<bool> stop{false};
    auto run = [&stop](std::function<void(int)> step) {
        return std::async(std::launch::async, [&stop, step] {
            for (int i = 0; !stop.load(); ++i) step(i);
        });
    };
    std::vector<std::future<void>> workers;
    workers.push_back(run([](int i) { qor::NativeClientVHThread::pollOnce(static_cast<std::uint64_t>(i)); }));
    workers.push_back(run([](int i) {
        static const char* const requests[] = {"{\"type\":324}", "{\"type\":326,\"VHDevAddress\":\"1.1\"}",
                                               "{\"type\":327,\"VHDevAddress\":\"1.1\"}"};
        handleVHRequest(QorMessage(requests[i % 3]));
    }));
    workers.push_back(run([&](int i) {
        UnregisterServerProxy();
        RegisterServerProxy(i % 2 == 0 ? &other : &connection);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }));
    workers.push_back(run([](int i) {
        setAllowedUsbDevicesText(i % 2 == 0 ? "mouse" : "");
        showAllUsbDevices.store(i % 3 == 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }));
    workers.push_back(run([](int i) {
        if (i % 2 == 0)
            ensureVHProxyProcess();
        else
            signalTunnelStarted();
    }));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    stop.store(true);
    for (std::future<void>& worker : workers)
        ASSERT_EQ(worker.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "deadlock";
    EXPECT_TRUE(requestDeviceList());
}
