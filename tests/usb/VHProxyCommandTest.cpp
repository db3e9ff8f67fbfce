// The vhProxy option of the client's command line: every command against
// a service that is not installed, installed and stopped, or running; run
// elevated (root) and as an ordinary user whose elevation request the
// launcher grants (exit 0) or refuses (exit 126). The client's start-up
// runs as its own program; the systemd stand-in really starts and stops the
// daemon.
#include "VHProxyLink.h"
#include "VHProxyService.h"

#include "LinkTestSupport.h"
#include "ServiceTestSupport.h"
#include "TestPaths.h"

#include <Poco/File.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

enum class State { NotInstalled, Stopped, Running };
enum class Mode { Elevated, User, UserRefused };

const char* stateName(State state) {
    return state == State::NotInstalled ? "not installed" : state == State::Stopped ? "stopped" : "running";
}
const char* modeName(Mode mode) {
    return mode == Mode::Elevated ? "elevated" : mode == Mode::User ? "user, launcher 0" : "user, launcher 126";
}

struct Outcome {
    int exitCode;
    std::vector<std::string> lines; // "<priority letter>: <text>"
    State after;
    std::string launched; // the command the launcher was asked to run, "" for none
};

class VHProxyCommand : public ::testing::Test {
protected:
    void SetUp() override {
        // The service commands do not depend on USB forwarding: with it
        // switched off the start-up loads no USB module and starts no USB
        // server, so the console holds the command's own lines only.
        for (TempDir* home : {&rootHome, &userHome})
            writeTextFile(home->file("qdk-client.xml"),
                          "<config><Client><VirtualHere><Enabled>false</Enabled></VirtualHere></Client></config>");
        ::chown(userHome.path().c_str(), 65534, 65534);
        ::chown(userHome.file("qdk-client.xml").c_str(), 65534, 65534);
    }

    // The service's state as systemd (the stand-in) reports it.
    State state() {
        const std::string shown = runToEnd({root.path("/usr/bin/systemctl"), "show", "-p", "LoadState,ActiveState",
                                            "vhproxy.service"});
        if (shown.find("LoadState=loaded") == std::string::npos) return State::NotInstalled;
        return shown.find("ActiveState=active") != std::string::npos ? State::Running : State::Stopped;
    }

    void bring(State wanted) {
        const State now = state();
        if (now == wanted) return;
        std::string error;
        if (now == State::Running) {
            ASSERT_TRUE(vhProxyService.stopService(error)) << error;
        }
        if (wanted == State::NotInstalled) {
            runToEnd({VHPROXY_PROGRAM, "--unregisterService"});
        } else {
            if (now == State::NotInstalled) {
                root.registerService();
                ASSERT_TRUE(vhProxyService.grantEveryoneStartStop(error));
            }
            if (wanted == State::Running) {
                ASSERT_TRUE(vhProxyService.startService(error)) << error;
            }
        }
        ASSERT_EQ(state(), wanted);
    }

    // Runs the client with the arguments; its console lines after the
    // start-up's own (banner, configuration, USB forwarding switched off).
    // The program directory is the root's unless one is given; so is the
    // system root.
    std::vector<std::string> runClient(const std::vector<std::string>& arguments, Mode mode, int& exitCode,
                                       const std::string& programDirectory = "", const std::string& systemRoot = "") {
        root.setLauncherExit(mode == Mode::UserRefused ? 126 : 0);
        const std::string& home = mode == Mode::Elevated ? rootHome.path() : userHome.path();
        std::vector<std::string> command{
            "/usr/bin/env", "HOME=" + home,
            "QDK_TEST_PROGRAM_DIRECTORY=" + (programDirectory.empty() ? root.programFolder() : programDirectory),
            "QDK_TEST_SYSTEM_ROOT=" + (systemRoot.empty() ? root.path("") : systemRoot), USB_STARTUP_DRIVER};
        command.insert(command.end(), arguments.begin(), arguments.end());
        if (mode != Mode::Elevated) command = asOrdinaryUser(command);
        std::vector<std::string> lines;
        for (const std::string& line : linesOf(runToEnd(command, &exitCode))) {
            if (line.find("started with PID") != std::string::npos ||
                line.find("Started without configuration file") != std::string::npos ||
                line.find("VirtualHere integration disabled, err: ") != std::string::npos)
                continue;
            // "II: text" -> "I: text"
            lines.push_back(line.size() > 2 && line[0] == line[1] ? line.substr(1) : line);
        }
        return lines;
    }

    void check(const std::vector<std::string>& arguments, State before, Mode mode, const Outcome& expected) {
        bring(before);
        const std::size_t launches = root.launcherCalls().size();
        int exitCode = -1;
        const std::vector<std::string> lines = runClient(arguments, mode, exitCode);
        const std::string what = arguments.front() + ", " + stateName(before) + ", " + modeName(mode);
        EXPECT_EQ(exitCode, expected.exitCode) << what;
        EXPECT_EQ(lines, expected.lines) << what;
        EXPECT_EQ(state(), expected.after) << what;
        EXPECT_EQ(linkPortOpen(), expected.after == State::Running) << what;
        const std::vector<std::string> calls = root.launcherCalls();
        if (expected.launched.empty()) {
            EXPECT_EQ(calls.size(), launches) << what;
        } else {
            ASSERT_EQ(calls.size(), launches + 1) << what;
            EXPECT_EQ(calls.back(), "uid=65534 pkexec " + std::string(USB_STARTUP_DRIVER) + " " + expected.launched)
                << what;
        }
    }

    // The same outcome elevated and as an ordinary user.
    void checkEveryMode(const std::vector<std::string>& arguments, State before, const Outcome& expected) {
        for (Mode mode : {Mode::Elevated, Mode::User, Mode::UserRefused}) check(arguments, before, mode, expected);
    }

    // Install and uninstall: done elevated; asked for by an ordinary user
    // (an installation with the user's port of the USB server, the default).
    void checkElevation(const std::vector<std::string>& arguments, State before, const Outcome& elevated,
                        const std::string& resolved) {
        const std::string launched =
            "--vhProxy=" + resolved + (resolved == "install" ? " --usbServerPort=17570" : "");
        check(arguments, before, Mode::Elevated, elevated);
        check(arguments, before, Mode::User, {0, {}, before, launched});
        check(arguments, before, Mode::UserRefused, {1, {"E: Main: Elevation not confirmed"}, before, launched});
    }

    ServiceRoot root;
    TempDir rootHome;
    TempDir userHome;
};

const std::string notInstalled = "I: VHProxy service is not installed";
const std::string installed = "I: Installed 'VHProxy service'";
const std::string notInstalledQuoted = "I: Not installed 'VHProxy service'";
const std::string installedNow = "I: Successfully installed 'VHProxy service'";
const std::string uninstalledNow = "I: Successfully uninstalled 'VHProxy service'";

} // namespace

TEST_F(VHProxyCommand, Status) {
    const std::vector<std::string> status{"--vhProxy=status"};
    checkEveryMode(status, State::NotInstalled, {0, {notInstalled}, State::NotInstalled, ""});
    checkEveryMode(status, State::Stopped, {0, {"I: VHProxy service is installed and stopped"}, State::Stopped, ""});
    // An ordinary user sees a running service as running.
    checkEveryMode(status, State::Running, {0, {"I: VHProxy service is installed and running"}, State::Running, ""});
}

TEST_F(VHProxyCommand, Start) {
    const std::vector<std::string> start{"--vhProxy=start"};
    checkEveryMode(start, State::NotInstalled, {0, {notInstalled}, State::NotInstalled, ""});
    checkEveryMode(start, State::Stopped, {0, {"I: Started VHProxy service"}, State::Running, ""});
    checkEveryMode(start, State::Running, {0, {"I: Started VHProxy service"}, State::Running, ""});
}

TEST_F(VHProxyCommand, Stop) {
    const std::vector<std::string> stop{"--vhProxy=stop"};
    checkEveryMode(stop, State::NotInstalled, {0, {notInstalled}, State::NotInstalled, ""});
    checkEveryMode(stop, State::Stopped, {0, {"I: Stopped VHProxy service"}, State::Stopped, ""});
    checkEveryMode(stop, State::Running, {0, {"I: Stopped VHProxy service"}, State::Stopped, ""});
}

TEST_F(VHProxyCommand, Install) {
    const std::vector<std::string> install{"--vhProxy=install"};
    check(install, State::NotInstalled, Mode::Elevated, {0, {installedNow}, State::Stopped, ""});
    // Installed with the rule that lets users start and stop it.
    EXPECT_NE(readTextFile(root.accessRule()).find("\"vhproxy.service\""), std::string::npos);
    checkElevation(install, State::NotInstalled, {0, {installedNow}, State::Stopped, ""}, "install");
    checkEveryMode(install, State::Stopped, {0, {installed}, State::Stopped, ""});
    checkEveryMode(install, State::Running, {0, {installed}, State::Running, ""});
}

TEST_F(VHProxyCommand, Uninstall) {
    const std::vector<std::string> uninstall{"--vhProxy=uninstall"};
    checkEveryMode(uninstall, State::NotInstalled, {0, {notInstalledQuoted}, State::NotInstalled, ""});
    checkElevation(uninstall, State::Stopped, {0, {uninstalledNow}, State::NotInstalled, ""}, "uninstall");
    checkElevation(uninstall, State::Running, {0, {uninstalledNow}, State::NotInstalled, ""}, "uninstall");
}

// Without a value the option installs a missing service and removes an
// installed one; the elevated copy is asked for the resolved command.
TEST_F(VHProxyCommand, Auto) {
    const std::vector<std::string> automatic{"--vhProxy"};
    checkElevation(automatic, State::NotInstalled, {0, {installedNow}, State::Stopped, ""}, "install");
    checkElevation(automatic, State::Stopped, {0, {uninstalledNow}, State::NotInstalled, ""}, "uninstall");
    checkElevation(automatic, State::Running, {0, {uninstalledNow}, State::NotInstalled, ""}, "uninstall");
}

TEST_F(VHProxyCommand, InvalidArgument) {
    for (State state : {State::NotInstalled, State::Running})
        checkEveryMode({"--vhProxy=Start"}, state, {254, {"C: Invalid argument Start"}, state, ""});
    // Commands are compared exactly.
    for (const char* value : {"restart", "query", "deinstall", "Install"}) {
        check({std::string("--vhProxy=") + value}, State::Stopped, Mode::Elevated,
              {254, {std::string("C: Invalid argument ") + value}, State::Stopped, ""});
    }
}

// Without the installer's polkit rule an ordinary user may not start or
// stop the service: the command says so and fails, whatever systemctl did.
TEST_F(VHProxyCommand, StartAndStopRefusedToAnOrdinaryUser) {
    bring(State::Stopped);
    ::unlink(root.accessRule().c_str());
    int exitCode = -1;
    EXPECT_EQ(runClient({"--vhProxy=start"}, Mode::User, exitCode),
              std::vector<std::string>{"E: Error starting VHProxy service, error Failed to start vhproxy.service: "
                                       "Access denied"});
    EXPECT_EQ(exitCode, 255);
    EXPECT_EQ(state(), State::Stopped);

    std::string error;
    ASSERT_TRUE(vhProxyService.startService(error));
    EXPECT_EQ(runClient({"--vhProxy=stop"}, Mode::User, exitCode),
              std::vector<std::string>{"E: Error stopping VHProxy service"});
    EXPECT_EQ(exitCode, 255);
    EXPECT_EQ(state(), State::Running);
}

// The elevated run's outcome is the command's: a failed elevated install
// is no success of the one that asked for it.
TEST_F(VHProxyCommand, PassesTheElevatedRunsExitCodeOn) {
    bring(State::NotInstalled);
    root.setLauncherExit(255);
    int exitCode = -1;
    const std::vector<std::string> command =
        asOrdinaryUser({"/usr/bin/env", "HOME=" + userHome.path(), USB_STARTUP_DRIVER, "--vhProxy=install"});
    runToEnd(command, &exitCode);
    EXPECT_EQ(exitCode, 255);
    EXPECT_EQ(root.launcherCalls().back(),
              "uid=65534 pkexec " + std::string(USB_STARTUP_DRIVER) + " --vhProxy=install --usbServerPort=17570");
}

// The installed service asks the USB server at the installing user's port
// (Client.VirtualHere.ServerPort): the elevated run, which has the
// administrator's settings, is given it, and the registration writes it
// into the service's command line.
TEST_F(VHProxyCommand, InstallGivesTheServiceTheUsersPort) {
    const std::string withPort =
        "<config><Client><VirtualHere><Enabled>false</Enabled><ServerPort>17571</ServerPort></VirtualHere></Client>"
        "</config>";
    writeTextFile(userHome.file("qdk-client.xml"), withPort);
    check({"--vhProxy=install"}, State::NotInstalled, Mode::User,
          {0, {}, State::NotInstalled, "--vhProxy=install --usbServerPort=17571"});

    // The elevated run as the launcher makes it: root's settings say nothing.
    const struct {
        std::vector<std::string> arguments;
        std::string settings;  // root's; "" as set up
        const char* asked;
    } cases[] = {
        {{"--vhProxy=install", "--usbServerPort=17571"}, "", "17571"},
        {{"--vhProxy=install"}, "", "17570"},
        {{"--vhProxy=install"}, withPort, "17571"},
    };
    for (const auto& c : cases) {
        if (!c.settings.empty()) writeTextFile(rootHome.file("qdk-client.xml"), c.settings);
        bring(State::NotInstalled);
        int exitCode = -1;
        EXPECT_EQ(runClient(c.arguments, Mode::Elevated, exitCode), std::vector<std::string>{installedNow}) << c.asked;
        EXPECT_EQ(exitCode, 0);
        EXPECT_NE(readTextFile(root.unitFile()).find("ExecStart=" + root.daemonProgram() +
                                                     " --service --usbServerPort=" + c.asked + "\n"),
                  std::string::npos)
            << readTextFile(root.unitFile());
        // The daemon that the service runs asks that port.
        std::string error;
        ASSERT_TRUE(vhProxyService.startService(error)) << error;
        std::string reply;
        ASSERT_TRUE(vhProxyRequest("{\"type\":328}", reply, true));
        EXPECT_NE(reply.find(std::string("\"VHSvrPort\":") + c.asked), std::string::npos) << reply;
    }
}

// Where systemd is not the service manager (here the machine's own
// systemctl, which says so), no command can know the service's state: each
// says what it could not do, that systemd is missing and what to do
// instead, and fails; none asks for elevation.
TEST_F(VHProxyCommand, SaysSoWhereNoServiceManagerRuns) {
    if (::access("/run/systemd/system", F_OK) == 0) GTEST_SKIP() << "systemd is the service manager here";
    TempDir systemRoot;
    Poco::File(systemRoot.path() + "/usr/bin").createDirectories();
    ::chmod(systemRoot.path().c_str(), 0755);
    ASSERT_EQ(::symlink("/usr/bin/systemctl", (systemRoot.path() + "/usr/bin/systemctl").c_str()), 0);
    const std::string reason =
        " VHProxy service, error systemd is not running on this machine (it is not the init system), and "
        "vhproxy.service is a systemd service. Without systemd, run the daemon by hand as root (sudo " +
        root.programFolder() +
        "vhproxy --service), or switch USB sharing off (Client.VirtualHere.Enabled false in ~/qdk-client.xml).";
    const struct {
        const char* command;
        const char* verb;
    } cases[] = {
        {"--vhProxy=status", "query"},       {"--vhProxy=start", "start"},
        {"--vhProxy=stop", "stop"},          {"--vhProxy=install", "install"},
        {"--vhProxy=uninstall", "uninstall"}, {"--vhProxy", "install or uninstall"},
    };
    for (const auto& c : cases) {
        for (Mode mode : {Mode::Elevated, Mode::User}) {
            const std::size_t launches = root.launcherCalls().size();
            int exitCode = -1;
            EXPECT_EQ(runClient({c.command}, mode, exitCode, "", systemRoot.path()),
                      std::vector<std::string>{"E: Can't " + std::string(c.verb) + reason})
                << c.command;
            EXPECT_EQ(exitCode, 255) << c.command;
            EXPECT_EQ(root.launcherCalls().size(), launches) << c.command;
        }
    }
}

// The daemon refuses to be registered from where others could change it:
// the install says why, passing the daemon's words on, and fails.
TEST_F(VHProxyCommand, InstallPassesARefusedRegistrationOn) {
    RootOwnedFolder base;
    const std::string folder = base.path() + "unpacked/";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    Poco::File(VHPROXY_PROGRAM).copyTo(folder + "vhproxy");
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    int exitCode = -1;
    const std::vector<std::string> lines = runClient({"--vhProxy=install"}, Mode::Elevated, exitCode, folder);
    EXPECT_EQ(exitCode, 255);
    ASSERT_EQ(lines.size(), 4u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0].rfind("E: vhProxySupport: vhproxy: Refusing to register " + folder +
                                 "vhproxy as a service that runs as root: " + base.path() +
                                 "unpacked belongs to the user nobody (65534). ",
                             0),
              0u)
        << lines[0];
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()),
              (std::vector<std::string>{"E: vhProxySupport: '" + folder + "vhproxy' ended with exit code 1",
                                        "W: Error installing 'VHProxy service'", "E: Error installing 'VHProxy service'"}));
    EXPECT_EQ(state(), State::NotInstalled);
}

// A service that fails as it starts: the command passes systemd's reason on.
TEST_F(VHProxyCommand, StartPassesTheServiceManagersReasonOn) {
    bring(State::Stopped);
    writeTextFile(root.unitFile(), "[Service]\nType=notify\nExecStart=/bin/sh -c \"exit 3\"\n");
    for (Mode mode : {Mode::Elevated, Mode::User}) {
        int exitCode = -1;
        EXPECT_EQ(runClient({"--vhProxy=start"}, mode, exitCode),
                  std::vector<std::string>{"E: Error starting VHProxy service, error Job for vhproxy.service failed "
                                           "because the control process exited with error code. (exit code 3)"})
            << modeName(mode);
        EXPECT_EQ(exitCode, 255) << modeName(mode);
    }
}

// Without pkexec the elevation names the missing program, not the client.
TEST_F(VHProxyCommand, ElevationNamesAMissingLauncher) {
    bring(State::NotInstalled);
    ASSERT_EQ(::unlink(root.path("/usr/bin/pkexec").c_str()), 0);
    int exitCode = -1;
    std::string directory = root.programFolder();
    directory.pop_back();
    const std::string launcher = root.path("/usr/bin/pkexec");
    EXPECT_EQ(runClient({"--vhProxy=install"}, Mode::User, exitCode),
              (std::vector<std::string>{"E: Main: Can't start " + launcher + " in " + directory,
                                        "E: Main: Error during elevation, err 2, \"No such file or directory\": "
                                        "elevation needs " + launcher +
                                            " (the packages pkexec and polkitd); or run the command as root"}));
    EXPECT_EQ(exitCode, 1);
}
