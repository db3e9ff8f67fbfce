// Service control: the registration the daemon writes, the six service
// operations against the systemd stand-in (which really starts and stops
// the daemon), and the wait logic of a start on a scripted manager's clock.
#include "QorWinService.h"
#include "ServiceControl.h"
#include "ServiceManager.h"
#include "VHProxyLink.h"

#include "LinkTestSupport.h"
#include "LogCapture.h"
#include "ServiceTestSupport.h"

#include <Poco/File.h>
#include <Poco/Message.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <deque>

namespace {

const std::string disp = "VHProxy service";

bool fileExists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

class ServiceControl : public ::testing::Test {
protected:
    ServiceRoot root;
    qor::QorWinService service{"vhProxyService", "vhproxy", disp};
};

} // namespace

TEST_F(ServiceControl, RegistrationWritesAndLoadsTheUnit) {
    root.registerService();
    // The sandbox that follows is rated and run in ServiceSandboxTest.
    const std::string head = "# Written by \"vhproxy --registerService\"; removed by \"vhproxy --unregisterService\".\n"
                             "# VirtualHere support service for Quarrydesk Client\n"
                             "[Unit]\n"
                             "Description=VHProxy service\n"
                             "\n"
                             "[Service]\n"
                             "Type=notify\n"
                             "ExecStart=" + root.daemonProgram() + " --service\n"
                             "TimeoutStartSec=10\n"
                             "TimeoutStopSec=10\n";
    EXPECT_EQ(readTextFile(root.unitFile()).substr(0, head.size()), head);
    EXPECT_EQ(root.systemctlCalls(), std::vector<std::string>{"uid=0 systemctl daemon-reload"});

    std::string error;
    EXPECT_TRUE(service.isInstalled(error));
    EXPECT_FALSE(service.isRunning(error));

    EXPECT_TRUE(service.grantEveryoneStartStop(error));
    EXPECT_EQ(readTextFile(root.accessRule()),
              "// Written by the Quarrydesk Client's installer: local users of an active\n"
              "// session may start and stop vhproxy.service, nothing else.\n"
              "polkit.addRule(function(action, subject) {\n"
              "    if (action.id == \"org.freedesktop.systemd1.manage-units\" &&\n"
              "        action.lookup(\"unit\") == \"vhproxy.service\" &&\n"
              "        (action.lookup(\"verb\") == \"start\" || action.lookup(\"verb\") == \"stop\") &&\n"
              "        subject.local && subject.active) {\n"
              "        return polkit.Result.YES;\n"
              "    }\n"
              "});\n");

    root.clearSystemctlCalls();
    int code = -1;
    runToEnd({VHPROXY_PROGRAM, "--unregisterService"}, &code);
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(fileExists(root.unitFile()));
    EXPECT_FALSE(fileExists(root.accessRule()));
    EXPECT_EQ(root.systemctlCalls(), std::vector<std::string>{"uid=0 systemctl daemon-reload"});
    EXPECT_FALSE(service.isInstalled(error));
}

// The port of the USB server that the service asks goes into its command
// line; anything but a port number is refused and registers nothing.
TEST_F(ServiceControl, RegistrationTakesTheUsbServersPort) {
    const struct {
        const char* option;
        int code;
    } cases[] = {{"--usbServerPort=17571", 0}, {"--usbServerPort=0", 2}, {"--usbServerPort=65536", 2},
                 {"--usbServerPort=17571x", 2}, {"--usbServerPort=", 2}};
    for (const auto& c : cases) {
        int code = -1;
        const std::string output =
            runToEnd({root.daemonProgram(), "--registerService", "--startup=manual", c.option}, &code);
        EXPECT_EQ(code, c.code) << c.option << ": " << output;
        if (c.code == 0) {
            EXPECT_NE(readTextFile(root.unitFile()).find("\nExecStart=" + root.daemonProgram() +
                                                         " --service --usbServerPort=17571\n"),
                      std::string::npos)
                << readTextFile(root.unitFile());
            runToEnd({root.daemonProgram(), "--unregisterService"});
        } else {
            EXPECT_NE(output.find("--usbServerPort takes a port number from 1 to 65535"), std::string::npos) << output;
        }
        EXPECT_FALSE(fileExists(root.unitFile())) << c.option;
    }
}

TEST_F(ServiceControl, AutomaticStartUpEnablesTheUnit) {
    int code = -1;
    runToEnd({root.daemonProgram(), "--registerService", "--startup=auto", "--displayName=VHProxy service",
              "--allowGroup=plugdev users"},
             &code);
    EXPECT_EQ(code, 0);
    const std::string unit = readTextFile(root.unitFile());
    EXPECT_NE(unit.find("ExecStart=" + root.daemonProgram() + " --service \"--allowGroup=plugdev users\"\n"),
              std::string::npos)
        << unit;
    EXPECT_NE(unit.find("\n[Install]\nWantedBy=multi-user.target\n"), std::string::npos) << unit;
    EXPECT_EQ(root.systemctlCalls(), (std::vector<std::string>{"uid=0 systemctl daemon-reload",
                                                               "uid=0 systemctl enable vhproxy.service"}));
    // Removal takes the boot target's link too.
    ::mkdir(root.path("/etc/systemd/system/multi-user.target.wants").c_str(), 0755);
    ASSERT_EQ(::symlink(root.unitFile().c_str(),
                        root.path("/etc/systemd/system/multi-user.target.wants/vhproxy.service").c_str()),
              0);
    runToEnd({VHPROXY_PROGRAM, "--unregisterService"}, &code);
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(fileExists(root.path("/etc/systemd/system/multi-user.target.wants/vhproxy.service")));
    EXPECT_FALSE(fileExists(root.unitFile()));
    runToEnd({root.daemonProgram(), "--registerService", "--startup=sometimes"}, &code);
    EXPECT_EQ(code, 2);
}

// Ordinary users may start the service, which runs as root: a program that
// anyone but root could change is refused, with the path at fault and the
// remedy, and nothing is registered.
TEST_F(ServiceControl, RegistrationRefusesAProgramThatOthersCouldChange) {
    RootOwnedFolder base;
    char buildTree[] = "/tmp/qdk-build-XXXXXX";
    ASSERT_NE(::mkdtemp(buildTree), nullptr);
    const std::string folder = base.path() + "app";
    const struct {
        const char* what;
        std::string folder;    // where the program lies
        int folderMode;
        unsigned int folderOwner;
        int programMode;
        unsigned int programOwner;
        std::string atFault;   // the path named, and why
        std::string reason;
    } cases[] = {
        {"a folder of another user", folder, 0755, 65534, 0755, 0, folder, " belongs to the user nobody (65534)"},
        {"a folder its group may write", folder, 0775, 0, 0755, 0, folder, " may be written by the group root (0)"},
        {"a folder every user may write", folder, 0777, 0, 0755, 0, folder, " may be written by every user"},
        {"a sticky folder", folder, 01777, 0, 0755, 0, folder, " may be written by every user"},
        {"a program of another user", folder, 0755, 0, 0755, 65534, folder + "/vhproxy",
         " belongs to the user nobody (65534)"},
        {"a program every user may write", folder, 0755, 0, 0757, 0, folder + "/vhproxy", " may be written by every user"},
        {"a build tree under /tmp", std::string(buildTree) + "/build", 0755, 0, 0755, 0, "/tmp",
         " may be written by every user"},
        {"a line break in a folder's name", base.path() + "x\nExecStartPre=touch pwned", 0755, 0, 0755, 0,
         base.path() + "x\\nExecStartPre=touch pwned/vhproxy", " holds a control character"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(::mkdir(c.folder.c_str(), 0755), 0) << c.what;
        const std::string program = c.folder + "/vhproxy";
        Poco::File(VHPROXY_PROGRAM).copyTo(program);
        ASSERT_EQ(::chown(program.c_str(), c.programOwner, c.programOwner), 0);
        ASSERT_EQ(::chmod(program.c_str(), static_cast<mode_t>(c.programMode)), 0);
        ASSERT_EQ(::chown(c.folder.c_str(), c.folderOwner, c.folderOwner), 0);
        ASSERT_EQ(::chmod(c.folder.c_str(), static_cast<mode_t>(c.folderMode)), 0);
        root.clearSystemctlCalls();
        int code = -1;
        const std::string output = runToEnd({program, "--registerService", "--startup=auto"}, &code);
        EXPECT_EQ(code, 1) << c.what << ": " << output;
        EXPECT_NE(output.find(" as a service that runs as root: " + c.atFault + c.reason + ". "), std::string::npos)
            << c.what << ": " << output;
        EXPECT_NE(output.find("Install the client into such a folder (for example with cmake --install build "
                              "--prefix /opt/quarrydesk)"),
                  std::string::npos)
            << c.what << ": " << output;
        EXPECT_FALSE(fileExists(root.unitFile())) << c.what;
        EXPECT_TRUE(root.systemctlCalls().empty()) << c.what;
        Poco::File(c.folder).remove(true);
    }
    ::rmdir(buildTree);
}

// The attack itself: an archive unpacked by an ordinary user, whose files
// are the user's. Had it been registered, the user would replace the
// program and start the service (the installer's rule lets local users
// start it) to run code as root.
TEST_F(ServiceControl, AnOrdinaryUserCannotRunCodeAsRootThroughTheService) {
    RootOwnedFolder base;
    const std::string folder = base.path() + "unpacked";
    const std::string program = folder + "/vhproxy";
    const std::string marker = base.path() + "ran-as";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    Poco::File(VHPROXY_PROGRAM).copyTo(program);
    for (const std::string& path : {folder, program}) ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);

    int code = -1;
    const std::string registration = runToEnd({program, "--registerService", "--startup=manual"}, &code);
    EXPECT_EQ(code, 1) << registration;
    std::string failure;
    ASSERT_TRUE(serviceManager().grantStartStop("vhproxy", failure)) << failure;

    const std::string replace = "printf '#!/bin/sh\\nid -u > " + marker + "\\n' > " + program +
                                ".new && chmod 755 " + program + ".new && mv " + program + ".new " + program;
    runToEnd(asOrdinaryUser({"/bin/sh", "-c", replace}), &code);
    ASSERT_EQ(code, 0) << "the user could change the program";
    const std::string start = runToEnd(asOrdinaryUser({root.path("/usr/bin/systemctl"), "start", "vhproxy.service"}), &code);
    EXPECT_NE(code, 0);
    EXPECT_NE(start.find("Unit vhproxy.service not found"), std::string::npos) << start;
    EXPECT_FALSE(fileExists(marker)) << "ran as " << readTextFile(marker);
}

// Texts of the registration end up in the unit: a line break in one of
// them would begin a line of its own.
TEST_F(ServiceControl, RegistrationKeepsEveryTextOnItsLine) {
    int code = -1;
    std::string output = runToEnd({root.daemonProgram(), "--registerService", "--startup=manual",
                                   "--allowGroup=plugdev\nExecStartPre=/bin/true"},
                                  &code);
    EXPECT_EQ(code, 2) << output;
    EXPECT_NE(output.find("the argument --allowGroup=plugdev\\nExecStartPre=/bin/true holds a control character"),
              std::string::npos)
        << output;
    EXPECT_FALSE(fileExists(root.unitFile()));

    output = runToEnd({root.daemonProgram(), "--registerService", "--startup=manual",
                       "--displayName=VHProxy\nExecStartPre=/bin/true 100%", "--description=a\rb\nc"},
                      &code);
    EXPECT_EQ(code, 0) << output;
    const std::string unit = readTextFile(root.unitFile());
    EXPECT_NE(unit.find("\nDescription=VHProxy ExecStartPre=/bin/true 100%%\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("\n# a b c\n"), std::string::npos) << unit;
    EXPECT_EQ(unit.find("\nExecStartPre"), std::string::npos) << unit;
}

TEST_F(ServiceControl, ReportsAMissingServiceToEveryOperation) {
    LogCapture capture;
    const struct {
        const char* what;
        int (*operation)(std::string, const char*, std::string, std::string&);
        int priority; // of the line that names the missing service
    } cases[] = {
        {"running", qorServiceIsRunning, Poco::Message::PRIO_DEBUG},
        {"grant", qorServiceGrantStartStop, Poco::Message::PRIO_DEBUG},
        {"demand start", qorServiceSetDemandStart, Poco::Message::PRIO_ERROR},
        {"start", qorServiceStart, Poco::Message::PRIO_ERROR},
        {"stop", qorServiceStop, Poco::Message::PRIO_ERROR},
    };
    for (const auto& c : cases) {
        capture.clear();
        std::string error = "untouched";
        EXPECT_EQ(c.operation("vhProxyService", "vhproxy", disp, error), -4) << c.what;
        EXPECT_EQ(error, "'VHProxy service' not installed") << c.what;
        bool found = false;
        for (const CapturedLine& line : capture.lines())
            found = found || (line.text == "vhProxyService: 'VHProxy service' not installed" && line.priority == c.priority);
        EXPECT_TRUE(found) << c.what;
    }
    std::string error = "untouched";
    EXPECT_EQ(qorServiceIsInstalled("vhProxyService", "vhproxy", disp, error), -4);
    EXPECT_EQ(error, "untouched");
    EXPECT_TRUE(capture.contains("vhProxyService: 'VHProxy service' service is not installed"));
}

TEST_F(ServiceControl, StartsAndStopsTheDaemon) {
    root.registerService();
    std::string error;
    ASSERT_EQ(::geteuid(), 0u) << "runs elevated";
    EXPECT_TRUE(service.startService(error)) << error;
    EXPECT_TRUE(service.isRunning(error));
    bool fits = false;
    EXPECT_TRUE(probeVHProxy(&fits));
    EXPECT_TRUE(fits);
    // Starting a running service asks for nothing.
    root.clearSystemctlCalls();
    EXPECT_TRUE(service.startService(error));
    for (const std::string& call : root.systemctlCalls()) EXPECT_EQ(call.find(" start "), std::string::npos) << call;

    EXPECT_TRUE(service.stopService(error)) << error;
    EXPECT_FALSE(service.isRunning(error));
    EXPECT_FALSE(linkPortOpen());
    EXPECT_TRUE(service.stopService(error));
    EXPECT_TRUE(service.setDemandStart(error));
    EXPECT_EQ(root.systemctlCalls().back(), "uid=0 systemctl --no-ask-password disable vhproxy.service");
}

// A service that fails while it starts is reported as not started, with
// the service manager's words and the exit code, and its state in the log.
TEST_F(ServiceControl, ReportsAServiceThatFailsToStart) {
    writeTextFile(root.unitFile(), "[Service]\nType=notify\nExecStart=/bin/sh -c \"exit 3\"\n");
    LogCapture capture;
    std::string error = "untouched";
    EXPECT_EQ(qorServiceStart("vhProxyService", "vhproxy", disp, error), -1);
    EXPECT_EQ(error, "Job for vhproxy.service failed because the control process exited with error code. "
                     "(exit code 3)");
    EXPECT_TRUE(capture.contains("vhProxyService: Current State 1"));
    EXPECT_TRUE(capture.contains("vhProxyService: Exit Code     3"));
    EXPECT_TRUE(capture.contains("vhProxyService: Check Point   0"));
    EXPECT_TRUE(capture.contains("vhProxyService: Wait Hint     0"));
}

// Without elevation, start and stop take the user's own rights: refused
// without the installer's polkit rule, allowed with it, and the result is
// the service's true state.
TEST_F(ServiceControl, StartsAndStopsAsAnOrdinaryUserOnlyWithTheRule) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run as another user";
    root.registerService();
    auto asUser = [](int (*operation)(std::string, const char*, std::string, std::string&)) {
        if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) std::_Exit(99);
        std::string error;
        const int code = operation("vhProxyService", "vhproxy", disp, error);
        std::fprintf(stderr, "[%s]\n", error.c_str());
        std::_Exit(code + 10);
    };
    EXPECT_EXIT(asUser(qorServiceStartShell), ::testing::ExitedWithCode(9),
                "\\[Failed to start vhproxy.service: Access denied\\]");
    EXPECT_FALSE(linkPortOpen());

    std::string error;
    ASSERT_TRUE(service.grantEveryoneStartStop(error));
    EXPECT_EXIT(asUser(qorServiceStartShell), ::testing::ExitedWithCode(10), "\\[\\]");
    EXPECT_TRUE(service.isRunning(error));
    EXPECT_TRUE(linkPortOpen());
    EXPECT_EXIT(asUser(qorServiceIsRunning), ::testing::ExitedWithCode(10), "");
    EXPECT_EXIT(asUser(qorServiceStopShell), ::testing::ExitedWithCode(10), "");
    EXPECT_FALSE(service.isRunning(error));
    EXPECT_EXIT(asUser(qorServiceIsRunning), ::testing::ExitedWithCode(7), "");
}

// On a machine where systemd is not the service manager, systemctl fails
// (here the machine's own): a registration leaves no unit behind, which
// nothing could remove later.
TEST(ServiceControlWithoutManager, RegistrationLeavesNothingBehind) {
    if (::access("/run/systemd/system", F_OK) == 0) GTEST_SKIP() << "systemd is the service manager here";
    TempDir systemRoot;
    Poco::File(systemRoot.path() + "/usr/bin").createDirectories();
    Poco::File(systemRoot.path() + "/etc/systemd/system").createDirectories();
    ASSERT_EQ(::symlink("/usr/bin/systemctl", (systemRoot.path() + "/usr/bin/systemctl").c_str()), 0);
    RootOwnedFolder programs;
    const std::string daemon = programs.install(VHPROXY_PROGRAM, "vhproxy");
    for (const char* startup : {"--startup=manual", "--startup=auto"}) {
        int code = -1;
        const std::string output = runToEnd(
            {"/usr/bin/env", "QDK_TEST_SYSTEM_ROOT=" + systemRoot.path(), daemon, "--registerService", startup}, &code);
        EXPECT_EQ(code, 1) << output;
        EXPECT_NE(output.find("systemctl daemon-reload failed with exit code 1: System has not been booted with "
                              "systemd as init system (PID 1). Can't operate."),
                  std::string::npos)
            << output;
        EXPECT_NE(output.find("Removed " + systemRoot.path() + "/etc/systemd/system/vhproxy.service again"),
                  std::string::npos)
            << output;
        EXPECT_FALSE(fileExists(systemRoot.path() + "/etc/systemd/system/vhproxy.service")) << startup;
    }
}

TEST(ServiceControlWithoutManager, CountsTheServiceAsNotInstalled) {
    TempDir empty;
    ::setenv("QDK_TEST_SYSTEM_ROOT", empty.path().c_str(), 1);
    qor::QorWinService service("vhProxyService", "vhproxy", disp);
    std::string error;
    EXPECT_FALSE(service.isInstalled(error));
    EXPECT_EQ(error.rfind("systemd is not running on this machine (it is not the init system)", 0), 0u) << error;
    const std::string installedError = error;
    EXPECT_EQ(qorServiceStop("vhProxyService", "vhproxy", disp, error), -2);
    EXPECT_EQ(error, installedError);
    ::unsetenv("QDK_TEST_SYSTEM_ROOT");
}

// ---- the wait logic of a start, on a scripted manager's clock ----

namespace {

class ScriptedManager : public ServiceManager {
public:
    // The states the queries see, one per query; the last one repeats.
    std::deque<ServiceStatus> statuses;
    bool startAccepted = true;
    int starts = 0;
    std::vector<int> sleeps;
    std::int64_t clock = 1000000;

    ServiceOpenResult openService(const std::string&, ServiceAccess, std::string&) override {
        return ServiceOpenResult::Opened;
    }
    bool queryStatus(const std::string&, ServiceStatus& status, std::string&) override {
        status = statuses.front();
        if (statuses.size() > 1) statuses.pop_front();
        return true;
    }
    bool requestStart(const std::string&, std::string& error) override {
        ++starts;
        if (!startAccepted) error = "refused";
        return startAccepted;
    }
    bool requestStop(const std::string&, std::string&) override { return true; }
    bool setDemandStart(const std::string&, std::string&) override { return true; }
    bool grantStartStop(const std::string&, std::string&) override { return true; }
    bool startAsUser(const std::string&, std::string&) override { return true; }
    bool stopAsUser(const std::string&, std::string&) override { return true; }
    std::int64_t nowMs() override { return clock; }
    void sleepMs(int milliseconds) override {
        sleeps.push_back(milliseconds);
        clock += milliseconds;
    }
};

ServiceStatus status(std::uint32_t state, std::uint32_t checkPoint = 0, std::uint32_t waitHint = 0) {
    ServiceStatus s;
    s.currentState = state;
    s.checkPoint = checkPoint;
    s.waitHint = waitHint;
    return s;
}

class StartWait : public ::testing::Test {
protected:
    void SetUp() override { setServiceManager(&manager); }
    void TearDown() override { setServiceManager(nullptr); }
    int start() { return qorServiceStart("svc", "svc", "Svc", error); }

    ScriptedManager manager;
    std::string error = "untouched";
};

} // namespace

TEST_F(StartWait, LeavesAServiceThatRunsOrIsOnItsWayAlone) {
    for (const std::uint32_t state : {ServiceState::Running, ServiceState::StartPending, ServiceState::Paused,
                                      ServiceState::PausePending, ServiceState::ContinuePending}) {
        manager.statuses = {status(state)};
        manager.starts = 0;
        EXPECT_EQ(start(), 0) << state;
        EXPECT_EQ(manager.starts, 0) << state;
    }
}

TEST_F(StartWait, WaitsForAStopToEndThenStarts) {
    manager.statuses = {status(ServiceState::StopPending, 1, 3000), status(ServiceState::StopPending, 2, 3000),
                        status(ServiceState::Stopped), status(ServiceState::StartPending, 1, 30000),
                        status(ServiceState::StartPending, 2, 30000), status(ServiceState::Running)};
    EXPECT_EQ(start(), 0);
    EXPECT_EQ(manager.starts, 1);
    EXPECT_EQ(manager.sleeps, (std::vector<int>{1000, 1000, 3000, 3000}));
}

TEST_F(StartWait, GivesUpAStopWithoutProgressAfterItsWaitHint) {
    const struct {
        std::uint32_t waitHint;
        std::vector<int> sleeps;
    } cases[] = {
        {0, {1000}},
        {2500, {1000, 1000, 1000}},
        {200000, std::vector<int>(21, 10000)},
    };
    for (const auto& c : cases) {
        manager.statuses = {status(ServiceState::StopPending, 4, c.waitHint)};
        manager.sleeps.clear();
        manager.starts = 0;
        EXPECT_EQ(start(), -1) << c.waitHint;
        EXPECT_EQ(error, "Can't start 'Svc' service, timeout");
        EXPECT_EQ(manager.sleeps, c.sleeps) << c.waitHint;
        EXPECT_EQ(manager.starts, 0);
    }
}

TEST_F(StartWait, ReportsAStartThatEndsStopped) {
    LogCapture capture;
    ServiceStatus stopped = status(ServiceState::Stopped, 0, 0);
    stopped.exitCode = 1067;
    manager.statuses = {status(ServiceState::Stopped), status(ServiceState::StartPending, 1, 5000), stopped};
    EXPECT_EQ(start(), -1);
    EXPECT_EQ(error, "'Svc' is not running after its start (exit code 1067)");
    const std::vector<std::string> texts = capture.texts();
    ASSERT_GE(texts.size(), 5u);
    EXPECT_EQ(texts[0], "svc: 'Svc' service start pending");
    EXPECT_EQ(std::vector<std::string>(texts.end() - 4, texts.end()),
              (std::vector<std::string>{"svc: Current State 1", "svc: Exit Code     1067", "svc: Check Point   0",
                                        "svc: Wait Hint     0"}));
}

TEST_F(StartWait, StopsWaitingForAStartWithoutProgress) {
    manager.statuses = {status(ServiceState::Stopped), status(ServiceState::StartPending, 3, 12000)};
    EXPECT_EQ(start(), -1);
    // 1200 ms a poll; given up once more than 12000 ms passed without progress.
    EXPECT_EQ(manager.sleeps, std::vector<int>(11, 1200));

    manager.statuses = {status(ServiceState::Stopped)};
    manager.startAccepted = false;
    EXPECT_EQ(start(), -2);
    EXPECT_EQ(error, "Can't start 'Svc' state, , refused");
}

TEST(ServicePollInterval, IsATenthOfTheWaitHintWithinOneAndTenSeconds) {
    EXPECT_EQ(servicePollInterval(0), 1000);
    EXPECT_EQ(servicePollInterval(12000), 1200);
    EXPECT_EQ(servicePollInterval(200000), 10000);
    EXPECT_EQ(servicePollInterval(0xffffffffu), 10000);
}
