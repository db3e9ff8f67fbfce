// The daemon's service as the client runs it: registration and removal by
// the daemon program, starting unless a compatible daemon answers, and the
// replacement of a daemon that is of another version or silent; start and
// stop from several threads at once take turns.
#include "VHProxySupport.h"

#include "ProcessHelpers.h"
#include "VHProxyLink.h"
#include "VHProxyService.h"

#include "LinkTestSupport.h"
#include "LogCapture.h"
#include "ServiceTestSupport.h"

#include "QorMessage.h"
#include "Utilities.h"

#include <Poco/File.h>
#include <Poco/Message.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace {

std::string daemonVersion() {
    std::string reply;
    if (!vhProxyRequest("{\"type\":328}", reply, false)) return "";
    return QorMessage(reply).getString("VHProxyVersion");
}

// Puts program in place as dir/vhproxy, the way an installation replaces it
// (a new file renamed over the old one, which a running daemon keeps).
void install(const std::string& program, const std::string& dir) {
    Poco::File(program).copyTo(dir + "vhproxy.new");
    ::chmod((dir + "vhproxy.new").c_str(), 0755);
    ::rename((dir + "vhproxy.new").c_str(), (dir + "vhproxy").c_str());
}

class VHProxySupport : public ::testing::Test {
protected:
    void SetUp() override { programDirectory = root.programFolder(); }
    void TearDown() override { programDirectory.clear(); }

    ServiceRoot root;
};

} // namespace

TEST_F(VHProxySupport, RegistersAndRemovesTheServiceOnce) {
    LogCapture capture;
    const std::string registration = "Running " + programDirectory +
                                     "vhproxy, args --registerService --startup=manual "
                                     "\"--displayName=VHProxy service\" "
                                     "\"--description=VirtualHere support service for Quarrydesk Client\"";
    const std::string removal = "Running " + programDirectory + "vhproxy, args --unregisterService";
    EXPECT_TRUE(unregisterVHProxyService());
    EXPECT_EQ(capture.count(removal), 0);

    EXPECT_TRUE(registerVHProxyService());
    std::string error;
    EXPECT_TRUE(vhProxyService.isInstalled(error));
    EXPECT_EQ(capture.count(registration), 1);
    // Installed already: nothing runs.
    EXPECT_TRUE(registerVHProxyService());
    EXPECT_EQ(capture.count(registration), 1);

    EXPECT_TRUE(unregisterVHProxyService());
    EXPECT_EQ(capture.count(removal), 1);
    EXPECT_FALSE(vhProxyService.isInstalled(error));
}

TEST_F(VHProxySupport, ReportsADaemonProgramThatCannotRun) {
    TempDir empty;
    programDirectory = empty.path() + "/";
    LogCapture capture;
    EXPECT_FALSE(registerVHProxyService());
    EXPECT_TRUE(capture.contains("vhProxySupport: Can't execute '" + programDirectory +
                                 "vhproxy', err 2, \"No such file or directory\""));
}

TEST_F(VHProxySupport, StartsTheServiceOnlyWhenNoCompatibleDaemonAnswers) {
    LogCapture capture;
    EXPECT_FALSE(startVHProxyService());
    EXPECT_TRUE(capture.contains("vhProxySupport: vhproxy service not installed"));

    // Nothing runs: no probe, no line, and stopping asks nobody.
    capture.clear();
    root.clearSystemctlCalls();
    EXPECT_FALSE(ensureVHProxyRunning());
    EXPECT_TRUE(stopVHProxyService());
    EXPECT_EQ(capture.texts(), std::vector<std::string>{"vhProxySupport: vhproxy service is not running"});
    EXPECT_TRUE(root.systemctlCalls().empty());

    root.registerService();
    EXPECT_TRUE(startVHProxyService());
    EXPECT_EQ(daemonVersion(), "14.0.0");
    const std::uint32_t daemon = findProcessId("vhproxy");
    EXPECT_NE(daemon, 0u);

    capture.clear();
    root.clearSystemctlCalls();
    EXPECT_TRUE(startVHProxyService());
    EXPECT_TRUE(capture.contains("vhProxy is active, not restarting"));
    EXPECT_EQ(root.systemctlCallCount(" start "), 0);
    EXPECT_EQ(findProcessId("vhproxy"), daemon);

    EXPECT_TRUE(stopVHProxyService());
    EXPECT_TRUE(capture.contains("vhProxySupport: Stopped vhproxy service"));
    EXPECT_FALSE(isVHProxyProcessRunning());
}

// An update replaced the program while the old daemon runs: the old one
// answers with its own version, is stopped, and the new one started.
TEST_F(VHProxySupport, ReplacesADaemonOfAnotherVersion) {
    install(VHPROXY_OLD_PROGRAM, programDirectory);
    ASSERT_TRUE(registerVHProxyService());
    std::string error;
    ASSERT_TRUE(vhProxyService.startService(error)) << error;
    ASSERT_EQ(daemonVersion(), "13.9.0");
    const std::uint32_t old = findProcessId("vhproxy");

    install(VHPROXY_PROGRAM, programDirectory);
    LogCapture capture;
    EXPECT_TRUE(startVHProxyService());
    EXPECT_TRUE(capture.contains("Incompatible vhproxy daemon found.  Running version: '13.9.0'.  Required version: "
                                 "'14.0.0'"));
    EXPECT_TRUE(capture.contains("vhProxySupport: vhproxy shutting down incompatible running instance and starting "
                                 "again"));
    EXPECT_TRUE(capture.contains("vhProxySupport: Started vhproxy service"));
    EXPECT_EQ(daemonVersion(), "14.0.0");
    EXPECT_NE(findProcessId("vhproxy"), old);
}

// A daemon that hangs (here: stopped by a signal) keeps its port, but
// answers nothing: after the link's time-out it is replaced.
TEST_F(VHProxySupport, ReplacesASilentDaemon) {
    root.registerService();
    std::string error;
    ASSERT_TRUE(vhProxyService.startService(error)) << error;
    const std::uint32_t hung = findProcessId("vhproxy");
    ASSERT_NE(hung, 0u);
    ASSERT_TRUE(pauseProcess(hung, 5000));

    LogCapture capture;
    EXPECT_TRUE(startVHProxyService());
    std::string said;
    for (const std::string& text : capture.texts()) said += text + "\n";
    EXPECT_TRUE(capture.contains("vhProxySupport: vhproxy is not responding, trying to shut it down")) << said;
    EXPECT_EQ(daemonVersion(), "14.0.0") << said;
    EXPECT_NE(findProcessId("vhproxy"), hung);
}

// Threads that start and stop the daemon at the same time take turns: a
// start is never undone by another thread's check of a daemon that is
// still coming up.
TEST_F(VHProxySupport, SerialisesStartsAndStops) {
    root.registerService();
    for (int round = 0; round < 3; ++round) {
        root.clearSystemctlCalls();
        std::vector<std::thread> threads;
        std::atomic<int> started{0};
        for (int i = 0; i < 4; ++i)
            threads.emplace_back([&started] {
                if (startVHProxyService()) ++started;
            });
        for (std::thread& thread : threads) thread.join();
        EXPECT_EQ(started.load(), 4) << round;
        EXPECT_EQ(root.systemctlCallCount(" start "), 1) << round;
        EXPECT_EQ(root.systemctlCallCount(" stop "), 0) << round;
        EXPECT_EQ(daemonVersion(), "14.0.0") << round;
        ASSERT_TRUE(stopVHProxyService());
    }
}
