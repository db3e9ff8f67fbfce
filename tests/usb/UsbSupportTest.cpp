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
#include "VHProxyReachability.h"
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
#include <sys/stat.h>
#include <unistd.h>

#include <Poco/File.h>
#include <Poco/JSON/Array.h>
#include <Poco/Message.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
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

// The addresses of the devices reported bound (332) to the connection, in order.
std::vector<std::string> reportedBound(const RecordedConnection& connection) {
    std::vector<std::string> addresses;
    for (const QorMessage& message : connection.toServer(332)) addresses.push_back(message.getString("VHDevAddress"));
    return addresses;
}

// The texts of the lines at warning level or worse.
std::vector<std::string> warningsOrWorse(const LogCapture& log) {
    std::vector<std::string> texts;
    for (const CapturedLine& line : log.lines())
        if (line.priority <= Poco::Message::PRIO_WARNING) texts.push_back(line.text);
    return texts;
}

// The first text that stands twice in texts; "" when none does.
std::string repeated(std::vector<std::string> texts) {
    std::sort(texts.begin(), texts.end());
    const auto twice = std::adjacent_find(texts.begin(), texts.end());
    return twice == texts.end() ? std::string() : *twice;
}

// Each report tells the page that the daemon refuses this user, why and
// what to do.
void expectRefusalReports(const std::vector<QorMessage>& reports) {
    for (const QorMessage& report : reports) {
        EXPECT_EQ(report.getInt("VHErrType"), 4);
        EXPECT_EQ(report.getInt("VHErrCode"), VHReplyCode::DaemonRefusesUser);
        const std::string text = report.getString("VHErrMsg");
        EXPECT_NE(text.find("group 'plugdev'"), std::string::npos) << text;
        EXPECT_NE(text.find("sign in again"), std::string::npos) << text;
    }
}

// Eight poll ticks, the page asking for the device list at the fourth.
void tickEightTimesWithAListRequest() {
    for (int tick = 1; tick <= 8; ++tick) {
        qor::NativeClientVHThread::pollOnce(static_cast<std::uint64_t>(tick));
        if (tick == 4) {
            EXPECT_TRUE(handleVHRequest(pageRequest("{\"type\":324}")));
        }
    }
}

// The client neither started, stopped nor relaunched the daemon's service,
// and its USB sharing stays on.
void expectTheServiceLeftAlone(const ServiceRoot& root) {
    EXPECT_EQ(root.systemctlCallCount(" start "), 0);
    EXPECT_EQ(root.systemctlCallCount(" stop "), 0);
    EXPECT_EQ(vhProxyRelaunchCount.load(), 0);
    EXPECT_TRUE(vhIntegrationEnabled.load());
}

// Makes the script the systemctl of the system under the folder.
void installSystemctl(const TempDir& system, const std::string& script) {
    Poco::File(system.file("usr/bin")).createDirectories();
    writeTextFile(system.file("usr/bin/systemctl"), script);
    ::chmod(system.file("usr/bin/systemctl").c_str(), 0755);
}

// systemctl where no service manager runs: it says so.
const std::string withoutServiceManager =
    "#!/bin/sh\necho \"System has not been booted with systemd as init system (PID 1). Can't operate.\" >&2\n"
    "exit 1\n";

// The daemon's service, registered as the client's installation does, but
// on the device list file instead of a USB server.
void registerOnDeviceList(ServiceRoot& root, const std::string& devicesFile) {
    root.registerService();
    std::string unit = readTextFile(root.unitFile());
    const std::string service = " --service";
    const std::string::size_type at = unit.find(service);
    ASSERT_NE(at, std::string::npos) << unit;
    unit.insert(at + service.size(), " --devices=" + devicesFile);
    writeTextFile(root.unitFile(), unit);
}

// A process with the daemon's name that answers nothing (a copy of sleep),
// as a vhproxy that no service of the client started, or a daemon whose
// link a stand-in serves, looks to the process check.
class NamedLikeTheDaemon {
public:
    NamedLikeTheDaemon() {
        const std::string program = dir_.file("vhproxy");
        Poco::File("/bin/sleep").copyTo(program);
        ::chmod(program.c_str(), 0755);
        if (process_.runCommandStream("test", program, {"600"}) == nullptr ||
            !waitUntil([] { return findProcessId("vhproxy") != 0; }, 10000))
            throw std::runtime_error("can't start " + program);
    }

private:
    TempDir dir_;
    CommandProcess process_;
};

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
        forgetTheDaemon();
        writeTextFile(devices(), twoDevices);
    }
    // As at start: nothing known of the daemon.
    static void forgetTheDaemon() {
        vhProxyRunning.store(false);
        vhProxyRelaunchCount.store(0);
        vhProxyReachability.set(VHProxyState::Unknown);
        vhProxyReachability.forgetTold();
    }
    void TearDown() override {
        setThreadLinkTimeoutMs(0);
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
    // Bound before the client saw it: the server learns it with this list.
    EXPECT_EQ(reportedBound(connection), std::vector<std::string>{"1.2"});
    EXPECT_EQ(connection.toServer().back().label, "Connect notification");
    connection.clear();

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

// A connection whose USB tunnel is still to come (the server's client id
// not there yet): the remote client cannot connect, and the server is not
// asked to make it; once no tunnel is coming (a guest's connection, or a
// tunnel that could not be set up), it is.
TEST_F(UsbSupport, ForceBindWaitsForTheUsbTunnel) {
    DaemonProcess daemon(devices());
    connection.setUsbTunnelComing(true);
    RegisterServerProxy(&connection);
    for (std::uint64_t tick = 1; tick <= 3; ++tick) qor::NativeClientVHThread::pollOnce(tick);
    EXPECT_TRUE(log.contains("requestDeviceList(): Waiting for the USB tunnel"));
    EXPECT_TRUE(connection.toServer(330).empty());
    connection.setUsbTunnelComing(false);
    qor::NativeClientVHThread::pollOnce(4);
    EXPECT_EQ(connection.toServer(330).size(), 1u);
}

// Each connection learns the bound devices with its first list, each
// once: those bound before the client started or before the connection
// registered, and those whose bind that very list shows.
TEST_F(UsbSupport, EachConnectionLearnsTheBoundDevicesOnce) {
    DaemonProcess daemon(devices());
    signalTunnelStarted();
    RegisterServerProxy(&connection);
    qor::NativeClientVHThread::pollOnce(1);
    ASSERT_EQ(connection.toPage(325).size(), 1u);
    EXPECT_EQ(reportedBound(connection), std::vector<std::string>{"1.2"});
    qor::NativeClientVHThread::pollOnce(2);
    EXPECT_EQ(reportedBound(connection), std::vector<std::string>{"1.2"});

    // The mouse is bound while the next connection takes over.
    std::string bothBound = twoDevices;
    bothBound.replace(bothBound.find("\"VHDevState\":1"), 14, "\"VHDevState\":2");
    writeTextFile(devices(), bothBound);
    RecordedConnection next;
    UnregisterServerProxy();
    RegisterServerProxy(&next);
    qor::NativeClientVHThread::pollOnce(3);
    std::vector<std::string> bound = reportedBound(next);
    std::sort(bound.begin(), bound.end());
    EXPECT_EQ(bound, (std::vector<std::string>{"1.1", "1.2"}));
    EXPECT_EQ(next.toPage(325).size(), 1u);
    qor::NativeClientVHThread::pollOnce(4);
    EXPECT_EQ(next.toServer(332).size(), 2u);
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
            // At most what became of the daemon, never a device list.
            for (const QorMessage& message : connection.toPage(325))
                EXPECT_FALSE(message.hasMember("VHDevList")) << c.mode << ": " << message.toJson();
        }
    }
}

// A USB server that stays away: the daemon answers every list request with
// the same error. The client says so when it begins and when it ends, once
// each, however many ticks meet it; the page gets it once, again when it
// asks, and a new page gets it too.
TEST_F(UsbSupport, UsbServerDownIsSaidOnceUntilItEnds) {
    FakeDaemon fake("silent");
    RegisterServerProxy(&connection);
    setThreadLinkTimeoutMs(qor::NativeClientVHThread::LINK_TIMEOUT_MS);
    const std::string down = "reply {\"type\":325,\"VHErrType\":4,\"VHErrCode\":1,"
                             "\"VHErrMsg\":\"The VirtualHere USB server is not running\"}";
    const std::string up = "reply " + goodListReply;
    enum class Then { Ticks, PageAsks, NewPage, PageAway };
    const struct {
        const char* what;
        const std::string& mode;
        Then then;
        int ticks;
        int criticals;    // "Error: (1) ..." at critical
        int agains;       // its end
        int errorReports; // to the page
        int lists;        // to the page
    } steps[] = {
        {"the server goes while the page is away", down, Then::PageAway, 2, 1, 0, 0, 0},
        {"the page is back", down, Then::Ticks, 2, 0, 0, 1, 0},
        {"the server is up", up, Then::Ticks, 1, 0, 1, 0, 1},
        {"the server is down", down, Then::Ticks, 4, 1, 0, 1, 0},
        {"the page asks", down, Then::PageAsks, 0, 0, 0, 1, 0},
        {"it stays down", down, Then::Ticks, 3, 0, 0, 0, 0},
        {"a new page", down, Then::NewPage, 2, 0, 0, 1, 0},
        {"the server is up", up, Then::Ticks, 3, 0, 1, 0, 3},
        {"it is down again", down, Then::Ticks, 3, 1, 0, 1, 0},
        {"up again", up, Then::Ticks, 1, 0, 1, 0, 1},
    };
    std::uint64_t tick = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        fake.setMode(step.mode);
        log.clear();
        connection.clear();
        if (step.then == Then::PageAsks) {
            EXPECT_TRUE(handleVHRequest(pageRequest("{\"type\":324}")));
        }
        if (step.then == Then::NewPage) {
            UnregisterServerProxy();
            RegisterServerProxy(&connection);
        }
        connection.setPageAway(step.then == Then::PageAway);
        for (int n = 0; n < step.ticks; ++n) {
            vhProxyRunning.store(true);
            qor::NativeClientVHThread::pollOnce(++tick);
        }
        connection.setPageAway(false);
        int criticals = 0;
        for (const CapturedLine& line : log.lines())
            if (line.priority == Poco::Message::PRIO_CRITICAL &&
                line.text == "Error: (1) The VirtualHere USB server is not running")
                ++criticals;
        EXPECT_EQ(criticals, step.criticals);
        EXPECT_EQ(repeated(warningsOrWorse(log)), "");
        EXPECT_EQ(log.count("NativeClientVHSupport: vhproxy lists the USB devices again"), step.agains);
        int errorReports = 0;
        int lists = 0;
        for (const QorMessage& message : connection.toPage(325)) {
            if (message.getInt("VHErrType") == 4) {
                EXPECT_EQ(message.getString("VHErrMsg"), "The VirtualHere USB server is not running");
                ++errorReports;
            } else {
                ++lists;
            }
        }
        EXPECT_EQ(errorReports, step.errorReports);
        EXPECT_EQ(lists, step.lists);
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
    // No list came of them (on a busy machine a tick may find the fake
    // silent for longer than the thread waits, which the page is told).
    const auto firstList = [&] {
        for (const QorMessage& message : connection.toPage(325))
            if (message.hasMember("VHDevList")) return message.toJson();
        return std::string();
    };
    EXPECT_EQ(firstList(), "");
    fake.setMode("reply " + goodListReply);
    ASSERT_TRUE(waitUntil([&] { return !firstList().empty(); }, 10000));
    EXPECT_EQ(listedDevices(QorMessage(firstList())), std::vector<std::string>{"Headset:1"});
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

// A service that is not installed, whether or not a vhproxy that no service
// started runs, or a service manager that cannot tell: said once, never
// stopped, relaunched or given up, however many ticks and requests meet
// it; the page is told once, unasked, what to do (or what keeps the
// service from starting), and its requests are answered with the same.
TEST_F(UsbSupport, NotInstalledIsSaidOnceWithTheRemedy) {
    ServiceRoot root;
    const std::string rootPath = std::getenv("QDK_TEST_SYSTEM_ROOT");
    // A system where no service manager runs: systemctl says so.
    TempDir noServiceManager;
    installSystemctl(noServiceManager, withoutServiceManager);
    // A system where systemd runs but cannot be asked.
    TempDir unreachableManager;
    Poco::File(unreachableManager.file("run/systemd/system")).createDirectories();
    installSystemctl(unreachableManager,
                     "#!/bin/sh\necho \"Failed to connect to bus: No such file or directory\" >&2\nexit 1\n");
    programDirectory = directoryOf(VHPROXY_PROGRAM);
    setThreadLinkTimeoutMs(qor::NativeClientVHThread::LINK_TIMEOUT_MS);
    const struct {
        const char* what;
        bool strayDaemon;
        std::string systemRoot;
        std::string logLine;
        std::string pageText;
    } cases[] = {
        {"no vhproxy runs", false, rootPath, "vhProxySupport: vhproxy service not installed",
         "install it with: quarrydesk-client --vhProxy=install"},
        {"a vhproxy runs that no service started", true, rootPath, "vhProxySupport: vhproxy service not installed",
         "install it with: quarrydesk-client --vhProxy=install"},
        {"no service manager runs", false, noServiceManager.path(),
         "vhProxySupport: Can't start vhproxy service, error systemd is not running on this machine",
         "The USB service vhproxy can't be started: systemd is not running on this machine (it is not the init "
         "system), and vhproxy.service is a systemd service. Without systemd, run the daemon by hand as root (sudo " +
             programDirectory +
             "vhproxy --service), or switch USB sharing off (Client.VirtualHere.Enabled false in ~/qdk-client.xml)."},
        {"systemd runs but can't be asked", false, unreachableManager.path(),
         "vhProxySupport: Can't start vhproxy service, error systemd can't be asked about vhproxy.service: Failed "
         "to connect to bus: No such file or directory",
         "The USB service vhproxy can't be started: systemd can't be asked about vhproxy.service: Failed to connect "
         "to bus: No such file or directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ::setenv("QDK_TEST_SYSTEM_ROOT", c.systemRoot.c_str(), 1);
        std::unique_ptr<NamedLikeTheDaemon> stray;
        if (c.strayDaemon) stray = std::make_unique<NamedLikeTheDaemon>();
        forgetTheDaemon();
        log.clear();
        connection.clear();
        root.clearSystemctlCalls();

        launchVHProxy(); // as start-up does
        RegisterServerProxy(&connection);
        tickEightTimesWithAListRequest();

        const std::vector<std::string> warnings = warningsOrWorse(log);
        EXPECT_EQ(repeated(warnings), "");
        EXPECT_EQ(std::count_if(warnings.begin(), warnings.end(),
                                [&](const std::string& text) { return text.find(c.logLine) == 0; }),
                  1);
        EXPECT_FALSE(log.contains("trying to shut it down"));
        EXPECT_FALSE(log.contains("Trying to relaunch vhproxy"));
        expectTheServiceLeftAlone(root);

        // The notice of the first tick, then the answer to the request.
        const std::vector<QorMessage> reports = connection.toPage(325);
        ASSERT_EQ(reports.size(), 2u);
        for (const QorMessage& report : reports) {
            EXPECT_EQ(report.getInt("VHErrType"), 4);
            EXPECT_EQ(report.getInt("VHErrCode"), VHReplyCode::DaemonNotInstalled);
            EXPECT_NE(report.getString("VHErrMsg").find(c.pageText), std::string::npos) << report.toJson();
        }
        UnregisterServerProxy();
    }
    ::setenv("QDK_TEST_SYSTEM_ROOT", rootPath.c_str(), 1);
}

// A daemon that another user started by hand (as scripts/run-demo.sh does
// for an ordinary user) holds the daemon's port: the client does not speak
// to it, says why once in its log, whatever else it could say of the
// service (not installed, no service manager, or installed and stopped),
// never starts, stops or relaunches the service for it, and the page learns
// the cause once, unasked, and in the answer to its request. Once the port
// is free, the client looks for the daemon afresh.
TEST_F(UsbSupport, PortHeldByAnotherUserIsSaidOnce) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the listener as another user";
    ServiceRoot root;
    const std::string rootPath = std::getenv("QDK_TEST_SYSTEM_ROOT");
    TempDir noServiceManager;
    installSystemctl(noServiceManager, withoutServiceManager);
    programDirectory = directoryOf(VHPROXY_PROGRAM);
    setThreadLinkTimeoutMs(qor::NativeClientVHThread::LINK_TIMEOUT_MS);
    const std::string cause = "vhProxySupport: The listener on 127.0.0.1:7679 belongs to user 65534, not to the "
                              "vhproxy service; not using it";
    const struct {
        const char* what;
        bool serviceManager;
        bool installed;
    } cases[] = {
        {"no service manager runs", false, false},
        {"the service is not installed", true, false},
        {"the service is installed", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ::setenv("QDK_TEST_SYSTEM_ROOT", (c.serviceManager ? rootPath : noServiceManager.path()).c_str(), 1);
        if (c.installed) root.registerService();
        {
            NamedLikeTheDaemon running; // the process check finds a daemon,
            FakeDaemon held("reply {\"type\":328,\"VHProxyVersion\":\"14.0.0\"}", true); // of user 65534
            forgetTheDaemon();
            log.clear();
            connection.clear();
            root.clearSystemctlCalls();

            EXPECT_FALSE(launchVHProxy()); // as start-up does
            RegisterServerProxy(&connection);
            tickEightTimesWithAListRequest();

            EXPECT_EQ(warningsOrWorse(log), std::vector<std::string>{cause});
            EXPECT_EQ(vhProxyReachability.state(), VHProxyState::PortHeld);
            expectTheServiceLeftAlone(root);

            // The notice of the first tick, then the answer to the request.
            const std::vector<QorMessage> reports = connection.toPage(325);
            ASSERT_EQ(reports.size(), 2u);
            for (const QorMessage& report : reports) {
                EXPECT_EQ(report.getInt("VHErrType"), 4);
                EXPECT_EQ(report.getInt("VHErrCode"), VHReplyCode::DaemonPortHeld);
                EXPECT_EQ(report.getString("VHErrMsg"),
                          "The USB service's port 127.0.0.1:7679 is held by a program of user 65534, not by the "
                          "vhproxy service, which runs as root; this client does not use it. To share USB devices, "
                          "end that program and start vhproxy as root.");
            }
        }
        // The program ended: the port is free, and the daemon is looked for
        // again (the service's state is said anew).
        log.clear();
        qor::NativeClientVHThread::pollOnce(9);
        EXPECT_NE(vhProxyReachability.state(), VHProxyState::PortHeld);
        EXPECT_FALSE(log.contains("belongs to user"));
        UnregisterServerProxy();
    }
    ::setenv("QDK_TEST_SYSTEM_ROOT", rootPath.c_str(), 1);
}

// A daemon that refuses this user answers every request so, whichever it
// is: the client takes it for what it is, never stops, starts or
// relaunches the service for it, says it once, and the page learns the
// reason and the remedy once, unasked, and in the answer to each request.
TEST_F(UsbSupport, RefusalIsSaidOnceAndLeavesTheServiceAlone) {
    ServiceRoot root;
    programDirectory = directoryOf(VHPROXY_PROGRAM);
    root.registerService();
    NamedLikeTheDaemon running; // the process check finds the daemon,
    FakeDaemon fake("refuse plugdev"); // whose link refuses this user
    setThreadLinkTimeoutMs(qor::NativeClientVHThread::LINK_TIMEOUT_MS);
    root.clearSystemctlCalls();

    EXPECT_TRUE(launchVHProxy()); // start-up's launch: it answers
    EXPECT_TRUE(startVHProxyService());
    RegisterServerProxy(&connection);
    connection.setUsbTunnelUp(true);
    signalTunnelStarted();
    for (int tick = 1; tick <= 8; ++tick) {
        qor::NativeClientVHThread::pollOnce(static_cast<std::uint64_t>(tick));
        if (tick == 4) {
            EXPECT_TRUE(handleVHRequest(pageRequest("{\"type\":324}")));
            EXPECT_FALSE(handleVHRequest(pageRequest("{\"type\":326,\"VHDevAddress\":\"1.1\"}")));
        }
    }

    expectTheServiceLeftAlone(root);
    EXPECT_EQ(vhProxyReachability.state(), VHProxyState::Refused);
    const std::vector<std::string> warnings = warningsOrWorse(log);
    EXPECT_EQ(repeated(warnings), "");
    EXPECT_EQ(std::count_if(warnings.begin(), warnings.end(),
                            [](const std::string& text) { return text.find("refuses this user") != std::string::npos; }),
              1);
    for (const char* never : {"Incompatible vhproxy daemon", "trying to shut it down", "Trying to relaunch",
                              "Signaled tunnel has started", "Error: (6)"})
        EXPECT_FALSE(log.contains(never)) << never;
    EXPECT_TRUE(connection.toServer().empty());

    // The notice of the first tick and the answers to the requests.
    std::vector<QorMessage> reports = connection.toPage(325);
    ASSERT_EQ(reports.size(), 2u);
    const std::vector<QorMessage> connects = connection.toPage(326);
    ASSERT_EQ(connects.size(), 1u);
    reports.push_back(connects[0]);
    expectRefusalReports(reports);

    // The group lets this user in: the lists come, and the page is not told
    // of the refusal again.
    fake.setMode("reply " + goodListReply);
    connection.clear();
    qor::NativeClientVHThread::pollOnce(9);
    reports = connection.toPage(325);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(listedDevices(reports[0]), std::vector<std::string>{"Headset:1"});
    EXPECT_TRUE(log.contains("vhProxySupport: vhproxy answers again"));
}

// The real daemon, started by its service as root, and the client's USB
// support run by an ordinary user outside the daemon's group: the daemon
// refuses the user with its reason, and the client says so once, leaves the
// service and the daemon as they are, and tells the page why and what to do.
TEST_F(UsbSupport, RealDaemonRefusesAnotherUserAndTheClientSaysWhy) {
    ServiceRoot root;
    programDirectory = directoryOf(VHPROXY_PROGRAM);
    registerOnDeviceList(root, devices());
    ASSERT_TRUE(startVHProxyService());
    const std::uint32_t daemon = findProcessId("vhproxy");
    ASSERT_NE(daemon, 0u);
    root.clearSystemctlCalls();

    int code = -1;
    const std::string output = runToEnd(asOrdinaryUser({USB_SUPPORT_DRIVER, "6"}), &code);
    ASSERT_EQ(code, 0) << output;
    const std::vector<std::string> lines = linesOf(output);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "done") << output;

    std::vector<std::string> warnings;
    std::vector<QorMessage> reports;
    for (const std::string& line : lines) {
        if (line.compare(0, 4, "log ") == 0 && line.size() > 6 && line[4] >= '1' && line[4] <= '4')
            warnings.push_back(line.substr(6));
        if (line.compare(0, 5, "page ") == 0) reports.emplace_back(line.substr(5));
        EXPECT_NE(line.compare(0, 7, "server "), 0) << line;
    }
    EXPECT_EQ(repeated(warnings), "") << output;
    EXPECT_EQ(std::count_if(warnings.begin(), warnings.end(),
                            [](const std::string& text) { return text.find("refuses this user") != std::string::npos; }),
              1)
        << output;
    for (const char* never : {"Trying to relaunch", "trying to shut it down", "Incompatible vhproxy daemon"})
        EXPECT_EQ(output.find(never), std::string::npos) << never;

    // The notice of the first tick, the answers to the list and the connect.
    ASSERT_EQ(reports.size(), 3u) << output;
    EXPECT_EQ(reports[2].getType(), 326);
    expectRefusalReports(reports);
    EXPECT_EQ(root.systemctlCallCount(" start "), 0);
    EXPECT_EQ(root.systemctlCallCount(" stop "), 0);
    EXPECT_EQ(findProcessId("vhproxy"), daemon);
}

// A relaunched daemon has not heard of the USB tunnel: while the
// connection's tunnel is up the client tells it again, and the lists go on
// without the server being asked to connect its USB client; without a
// tunnel the relaunched daemon reports its client disconnected.
TEST_F(UsbSupport, RelaunchedDaemonHearsOfTheTunnelAgain) {
    ServiceRoot root;
    programDirectory = directoryOf(VHPROXY_PROGRAM);
    registerOnDeviceList(root, devices());
    for (const bool tunnelUp : {true, false}) {
        SCOPED_TRACE(tunnelUp ? "tunnel up" : "no tunnel");
        forgetTheDaemon();
        log.clear();
        ASSERT_TRUE(launchVHProxy());
        connection.setUsbTunnelUp(tunnelUp);
        RegisterServerProxy(&connection);
        if (tunnelUp) signalTunnelStarted();
        qor::NativeClientVHThread::pollOnce(1);
        EXPECT_EQ(log.contains("requestDeviceList(): Client disconnected"), !tunnelUp);

        const std::uint32_t daemon = findProcessId("vhproxy");
        ASSERT_NE(daemon, 0u);
        ::kill(static_cast<pid_t>(daemon), SIGKILL);
        ASSERT_TRUE(waitUntil([daemon] { return findProcessId("vhproxy") != daemon; }, 10000));
        log.clear();
        connection.clear();
        qor::NativeClientVHThread::pollOnce(2); // meets no daemon: relaunches it
        ASSERT_EQ(log.count("Trying to relaunch vhproxy"), 1);
        qor::NativeClientVHThread::pollOnce(3);
        EXPECT_EQ(log.contains("requestDeviceList(): Client disconnected"), !tunnelUp);
        EXPECT_EQ(connection.toPage(325).size(), tunnelUp ? 1u : 0u);
        EXPECT_EQ(log.contains("Told the new vhproxy that the USB tunnel is up"), tunnelUp);
        ASSERT_TRUE(stopVHProxyService());
        UnregisterServerProxy();
    }
}

// A page's request that meets a silent daemon holds usbSupportLock, and its
// connection's end waits for it: it waits no longer than a tick's exchange.
TEST_F(UsbSupport, PageRequestsToASilentDaemonAreBoundedLikeTicks) {
    FakeDaemon fake("silent");
    RegisterServerProxy(&connection);
    vhProxyRunning.store(true);
    vhProxyRelaunchCount.store(10); // given up: the exchanges alone
    {
        ScopedOwnerLock guard(usbSupportLock);
        currentVHServerName.clear(); // the connect asks the daemon for it
    }
    const struct {
        std::string request;
        int type;
    } cases[] = {
        {"{\"type\":324}", 325},
        {"{\"type\":326,\"VHDevAddress\":\"1.1\"}", 326},
    };
    for (const auto& c : cases) {
        connection.clear();
        const std::int64_t start = monotonicMillis();
        handleVHRequest(pageRequest(c.request));
        const std::int64_t took = monotonicMillis() - start;
        // A second's exchange, with room for a slow machine; unbounded, it
        // would take the link's whole time-out.
        EXPECT_LT(took, vhProxyLinkTimeoutMs - 1000) << c.request;
        ASSERT_EQ(connection.toPage(c.type).size(), 1u) << c.request;
        EXPECT_EQ(connection.toPage(c.type)[0].getInt("VHErrCode"), VHReplyCode::DaemonNotAnswering) << c.request;
    }
    // The caller's own bound is back.
    EXPECT_EQ(threadLinkTimeoutMs(), vhProxyLinkTimeoutMs);
}
