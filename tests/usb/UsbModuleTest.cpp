// The USB module stand-in libVirtualHereServer.so, loaded as the client
// loads it: its version builds and missing symbol, the logging functions it
// is given, the USB server that vhsInit configures and starts on the
// client's port (never one of another user), and the client commands of
// vhcExec. The tests run in a network namespace of their own: the default
// port 17570 is free.
#include "LinkTestSupport.h"
#include "LogCapture.h"
#include "Logging.h"
#include "PeerProcess.h"
#include "ServiceTestSupport.h"
#include "TestPaths.h"
#include "VHModuleInterface.h"

#include <Poco/AutoPtr.h>
#include <Poco/File.h>
#include <Poco/SharedLibrary.h>
#include <Poco/Util/Application.h>

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

namespace {

std::string variant(const std::string& name) {
    return std::string(USB_TEST_MODULE_DIRECTORY) + "/" + name + "/libVirtualHereServer.so";
}

// The USB servers that this process started, ended and collected.
int endServerChildren() {
    int ended = 0;
    DIR* proc = ::opendir("/proc");
    while (dirent* entry = ::readdir(proc)) {
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string pid, comm, state;
        long parent = 0;
        if (!(stat >> pid >> comm >> state >> parent) || parent != ::getpid() || comm != "(qdvhwin64)") continue;
        ::kill(std::atoi(pid.c_str()), SIGTERM);
        ::waitpid(std::atoi(pid.c_str()), nullptr, 0);
        ++ended;
    }
    ::closedir(proc);
    return ended;
}

// The client as the module's host: its application configuration, where it
// puts the values of the USB server's settings before vhsInit. (Made before
// a LogCapture: the application object sets every logger's channel.)
struct ClientHost {
    explicit ClientHost(int port = 0) {
        if (port != 0) application->config().setString("Client.VirtualHere.ServerPort", std::to_string(port));
    }
    Poco::AutoPtr<Poco::Util::Application> application = new Poco::Util::Application;
};

struct LoadedModule {
    LoadedModule() {
        reinterpret_cast<QorLibLoggerInitFunction>(module.getSymbol(VHModuleSymbol::LoggerInit))(
            logTrace, logDebug, logInformation, logNotice, logWarning, logError, logCritical, logFatal);
    }
    bool serverInit(const std::string& config, const std::string& log) {
        auto init = reinterpret_cast<VHInitFunction>(module.getSymbol(VHModuleSymbol::ServerInit));
        return init(USB_SERVER_PROGRAM, config.c_str(), log.c_str());
    }
    Poco::SharedLibrary module{USB_MODULE_FILE};
};

// The start-up driver's exit code when the client's start-up went through
// (the program would go on to its window).
constexpr int startedThrough = 99;

} // namespace

TEST(UsbModule, VersionBuildsAndSymbols) {
    struct Case {
        std::string file;
        const char* version; // null: no version text
        bool vhcExec;
    } cases[] = {
        {USB_MODULE_FILE, "14.0.0", true},
        {variant("v14.0.12"), "14.0.12", true},
        {variant("v14.1.0"), "14.1.0", true},
        {variant("v14.0"), "14.0", true},
        {variant("null-version"), nullptr, true},
        {variant("no-vhcexec"), "14.0.0", false},
    };
    for (const Case& c : cases) {
        Poco::SharedLibrary module(c.file);
        auto version = reinterpret_cast<VHLibraryVersionFunction>(module.getSymbol(VHModuleSymbol::LibraryVersion));
        if (c.version == nullptr) {
            EXPECT_EQ(version(), nullptr) << c.file;
        } else {
            EXPECT_STREQ(version(), c.version) << c.file;
        }
        EXPECT_EQ(module.hasSymbol(VHModuleSymbol::ClientExec), c.vhcExec) << c.file;
        for (const char* symbol : {VHModuleSymbol::LoggerInit, VHModuleSymbol::ServerInit, VHModuleSymbol::ClientInit,
                                   VHModuleSymbol::ClientServiceInstalled, VHModuleSymbol::ClientServiceRunning,
                                   VHModuleSymbol::ServerRefusal})
            EXPECT_TRUE(module.hasSymbol(symbol)) << c.file << " " << symbol;
    }
}

TEST(UsbModule, StartsTheUsbServerAndRunsClientCommands) {
    TempDir dir;
    const int port = freeLoopbackPort();
    const ClientHost host(port);
    LogCapture log{"trace"};
    writeTextFile(dir.file("devices.json"), "{\"VHDevList\":[{\"VHDevAddress\":\"1-1\",\"VHDevVendorId\":1,"
                                            "\"VHDevProductId\":2,\"VHDevPrettyName\":\"A <b> & c\"}]}");
    writeTextFile(dir.file("vhserver.cnf"), "# kept\nTCPPort=" + std::to_string(port) +
                                                "\nDeviceFixture=devices.json\nServerName=desk\n");
    Poco::SharedLibrary module(USB_MODULE_FILE);
    auto loggerInit = reinterpret_cast<QorLibLoggerInitFunction>(module.getSymbol(VHModuleSymbol::LoggerInit));
    auto serverInit = reinterpret_cast<VHInitFunction>(module.getSymbol(VHModuleSymbol::ServerInit));
    auto exec = reinterpret_cast<VHExecFunction>(module.getSymbol(VHModuleSymbol::ClientExec));
    loggerInit(logTrace, logDebug, logInformation, logNotice, logWarning, logError, logCritical, logFatal);
    EXPECT_TRUE(log.contains("libVirtualHereServer: Logging initialized"));

    // A program that cannot run: the start fails with its exit code.
    EXPECT_FALSE(serverInit(dir.file("missing-program").c_str(), dir.file("vhserver.cnf").c_str(), ""));
    EXPECT_TRUE(log.contains("ended at start, exit code 127"));

    ASSERT_TRUE(serverInit(USB_SERVER_PROGRAM, dir.file("vhserver.cnf").c_str(), dir.file("vhserver.log").c_str()))
        << log.texts().back();
    EXPECT_TRUE(log.contains("libVirtualHereServer: Started USB server " + std::string(USB_SERVER_PROGRAM)));
    // The configuration keeps what it held; the server logs to its file.
    EXPECT_EQ(readTextFile(dir.file("vhserver.cnf")),
              "# kept\nTCPPort=" + std::to_string(port) + "\nDeviceFixture=devices.json\nServerName=desk\n");
    EXPECT_NE(readTextFile(dir.file("vhserver.log")).find("listening on 127.0.0.1:" + std::to_string(port)),
              std::string::npos);
    // A second start finds it running.
    EXPECT_TRUE(serverInit(USB_SERVER_PROGRAM, dir.file("vhserver.cnf").c_str(), ""));
    EXPECT_TRUE(log.contains("USB server already running on 127.0.0.1:" + std::to_string(port)));

    struct Case {
        const char* command;
        int result;
        const char* reply; // null: none expected
    } cases[] = {
        {"BIND 1-1", 1, "3"},
        {"ATTACH 1-1", 1, "2"},
        {"STATUS", 1, "desk"},
        {"BIND 9-9", 0, nullptr},
        {"STATUS\nQUIT", 0, nullptr},
        {"GET CLIENT STATE", 1,
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<state>\n"
         "  <connection hostname=\"desk\" address=\"127.0.0.1\" port=\"PORT\">\n"
         "    <device address=\"1-1\" vendor=\"1\" product=\"2\" state=\"2\" name=\"A &lt;b&gt; &amp; c\"/>\n"
         "  </connection>\n</state>\n"},
    };
    for (const Case& c : cases) {
        char* reply = nullptr;
        EXPECT_EQ(exec(c.command, &reply, false), c.result) << c.command;
        if (c.reply == nullptr) {
            EXPECT_EQ(reply, nullptr) << c.command;
            continue;
        }
        ASSERT_NE(reply, nullptr) << c.command;
        std::string expected = c.reply;
        const auto at = expected.find("PORT");
        if (at != std::string::npos) expected.replace(at, 4, std::to_string(port));
        EXPECT_EQ(reply, expected) << c.command;
        std::free(reply);
    }
    EXPECT_EQ(endServerChildren(), 1);
    // Without a server the client state names no connection.
    char* reply = nullptr;
    EXPECT_EQ(exec("GET CLIENT STATE", &reply, false), 1);
    EXPECT_STREQ(reply, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<state>\n</state>\n");
    std::free(reply);
    EXPECT_EQ(exec("STATUS", &reply, false), 0);

    // A configuration that cannot be written (its new copy cannot be made)
    // and a log file that cannot be opened: the server still runs with the
    // configured port, its log on standard error.
    const int otherPort = freeLoopbackPort();
    host.application->config().setString("Client.VirtualHere.ServerPort", std::to_string(otherPort));
    writeTextFile(dir.file("vhserver.cnf"), "TCPPort=" + std::to_string(port) + "\n");
    ASSERT_EQ(::mkdir(dir.file("vhserver.cnf.new").c_str(), 0700), 0);
    ASSERT_TRUE(serverInit(USB_SERVER_PROGRAM, dir.file("vhserver.cnf").c_str(),
                           dir.file("no/such/dir/vhserver.log").c_str()));
    EXPECT_TRUE(log.contains("libVirtualHereServer: Can't write the USB server configuration " +
                             dir.file("vhserver.cnf") + ": "));
    EXPECT_TRUE(log.contains("on 127.0.0.1:" + std::to_string(otherPort)));
    EXPECT_EQ(endServerChildren(), 1);
}

// The USB server listens on the client's port, its default included,
// whatever port an earlier run (or a hand) left in the configuration file:
// the USB tunnel and the daemon use that same port.
TEST(UsbModule, StartsTheUsbServerOnTheClientsPort) {
    const int stale = freeLoopbackPort();
    const int chosen = freeLoopbackPort();
    const struct Case {
        const char* what;
        const char* file;  // null: no file; PORT stands for the stale port
        int setting;       // the client's value; 0: the host gives none
        int expected;
    } cases[] = {
        {"another port in the file, the client's default", "# kept\nTCPPort=PORT\nServerName=desk\n", 17570, 17570},
        {"another port in the file, no value from the host", "TCPPort=PORT\n", 0, 17570},
        {"the default in the file, another port chosen", "TCPPort=17570\n", chosen, chosen},
        {"no file yet", nullptr, chosen, chosen},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string config = dir.file("vhserver.cnf");
        if (c.file != nullptr) {
            std::string text = c.file;
            const auto at = text.find("PORT");
            if (at != std::string::npos) text.replace(at, 4, std::to_string(stale));
            writeTextFile(config, text);
        }
        const ClientHost host(c.setting);
        LogCapture log{"debug"};
        LoadedModule module;
        const bool started = module.serverInit(config, dir.file("vhserver.log"));
        std::string lines;
        for (const std::string& text : log.texts()) lines += text + "\n";
        EXPECT_TRUE(started) << c.what << "\n" << lines;
        const std::string port = std::to_string(c.expected);
        EXPECT_TRUE(log.contains("libVirtualHereServer: Started USB server " + std::string(USB_SERVER_PROGRAM)))
            << c.what;
        EXPECT_TRUE(log.contains(") on 127.0.0.1:" + port)) << c.what << "\n" << lines;
        EXPECT_NE(readTextFile(config).find("TCPPort=" + port + "\n"), std::string::npos) << c.what;
        EXPECT_EQ(readTextFile(config).find(std::to_string(stale)), std::string::npos) << c.what;
        EXPECT_NE(readTextFile(dir.file("vhserver.log")).find("listening on 127.0.0.1:" + port), std::string::npos)
            << c.what;
        EXPECT_EQ(endServerChildren(), 1) << c.what;
    }
}

// An ordinary user starts a client installed where only root may write:
// the USB server's configuration and log lie in the user's own folder (the
// configuration that an earlier run left there gets the client's port, the
// default here), nothing is refused, nothing lands beside the programs,
// and the USB server's log stays off the terminal.
TEST(UsbModule, AnOrdinaryUsersFilesLieInTheUsersOwnFolder) {
    const ServiceRoot services; // USB support asks its service manager for the daemon
    TempDir install;
    const std::string programs = install.file("bin") + "/";
    Poco::File(programs).createDirectories();
    ASSERT_EQ(::chmod(install.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(programs.c_str(), 0755), 0);
    Poco::File(USB_MODULE_FILE).copyTo(programs + "libVirtualHereServer.so");
    ASSERT_EQ(::symlink(USB_SERVER_PROGRAM, (programs + "qdvhwin64").c_str()), 0);

    TempDir home;
    const std::string files = home.file(".local/state/quarrydesk-client/");
    Poco::File(files).createDirectories();
    writeTextFile(files + "vhserver.cnf", "# mine\nTCPPort=17571\n");
    for (const std::string& path : {home.path(), home.file(".local"), home.file(".local/state"), files,
                                    files + "vhserver.cnf"})
        ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0) << path;

    int exitCode = -1;
    const std::string output = runToEnd(
        asOrdinaryUser({"/usr/bin/env", "-u", "XDG_STATE_HOME", "HOME=" + home.path(),
                        "QDK_TEST_PROGRAM_DIRECTORY=" + programs, USB_STARTUP_DRIVER, "--nativeDecodingEnabled=false"}),
        &exitCode);
    EXPECT_EQ(exitCode, startedThrough) << output;
    EXPECT_NE(output.find("libVirtualHereServer: Started USB server " + programs + "qdvhwin64"), std::string::npos)
        << output;
    EXPECT_NE(output.find("on 127.0.0.1:17570"), std::string::npos) << output;
    EXPECT_EQ(output.find("Permission denied"), std::string::npos) << output;
    EXPECT_EQ(output.find("Can't write"), std::string::npos) << output;
    // The USB server's own lines ("USB server '<name>' listening on ...").
    EXPECT_EQ(output.find("' listening on"), std::string::npos) << output;

    EXPECT_EQ(readTextFile(files + "vhserver.cnf").find("# mine\nTCPPort=17570\n"), 0u);
    EXPECT_NE(readTextFile(files + "vhserver.log").find("' listening on 127.0.0.1:17570"), std::string::npos);
    struct stat status {};
    ASSERT_EQ(::stat((files + "vhserver.log").c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, 65534u);
    for (const char* name : {"vhserver.cnf", "vhserver.log", "vhserver.cnf.new"})
        EXPECT_FALSE(Poco::File(programs + name).exists()) << name;
}

// A user whose folder is not there yet gets it, for the owner alone;
// XDG_STATE_HOME, when set, is the place.
TEST(UsbModule, TheUsersFolderIsMadeForTheOwnerAlone) {
    const ServiceRoot services;
    TempDir state;
    TempDir home;
    for (const TempDir* dir : {&state, &home}) ASSERT_EQ(::chown(dir->path().c_str(), 65534, 65534), 0);
    int exitCode = -1;
    const std::string output = runToEnd(
        asOrdinaryUser({"/usr/bin/env", "HOME=" + home.path(), "XDG_STATE_HOME=" + state.path() + "/user/",
                        USB_STARTUP_DRIVER, "--nativeDecodingEnabled=false"}),
        &exitCode);
    EXPECT_EQ(exitCode, startedThrough) << output;
    const std::string files = state.file("user/quarrydesk-client/");
    for (const std::string& folder : {state.file("user"), files}) {
        struct stat status {};
        ASSERT_EQ(::stat(folder.c_str(), &status), 0) << folder << "\n" << output;
        EXPECT_EQ(status.st_mode & 07777, 0700u) << folder;
        EXPECT_EQ(status.st_uid, 65534u) << folder;
    }
    EXPECT_NE(readTextFile(files + "vhserver.cnf").find("TCPPort=17570\n"), std::string::npos) << output;
    EXPECT_NE(readTextFile(files + "vhserver.log").find("listening on 127.0.0.1:17570"), std::string::npos);
}

// A program of another user that took the USB server's port first gets
// nothing from the module, not even STATUS: vhsInit fails and says who
// holds the port; once the port is free, the module starts its own server.
TEST(UsbModule, SpeaksToNoUsbServerOfAnotherUser) {
    ASSERT_EQ(::geteuid(), 0u) << "runs the listener as another user";
    TempDir dir;
    auto foreign = std::make_unique<PeerProcess>(
        "/usr/bin/setpriv",
        std::vector<std::string>{"--reuid=65534", "--regid=65534", "--clear-groups", debianPython(),
                                 testSourcePath("usb/foreign_usb_server.py"), "0"},
        true);
    std::string port;
    ASSERT_TRUE(foreign->waitForLine("listening ", port, 20000)) << foreign->output();
    writeTextFile(dir.file("devices.json"), "[]");
    writeTextFile(dir.file("vhserver.cnf"), "DeviceFixture=devices.json\n");
    const ClientHost host(std::stoi(port));
    LogCapture log{"trace"};
    LoadedModule loaded;
    auto refusal =
        reinterpret_cast<VHServerRefusalFunction>(loaded.module.getSymbol(VHModuleSymbol::ServerRefusal));
    auto exec = reinterpret_cast<VHExecFunction>(loaded.module.getSymbol(VHModuleSymbol::ClientExec));

    const std::string held = "The USB server port 127.0.0.1:" + port + " is held by user nobody (uid 65534), not by "
                             "this user: not using it";
    EXPECT_FALSE(loaded.serverInit(dir.file("vhserver.cnf"), ""));
    EXPECT_EQ(std::string(refusal()).rfind(held, 0), 0u) << refusal();
    EXPECT_TRUE(log.contains("libVirtualHereServer: " + held)) << log.texts().back();
    char* reply = nullptr;
    EXPECT_EQ(exec("STATUS", &reply, false), 0);
    EXPECT_EQ(reply, nullptr);
    EXPECT_EQ(endServerChildren(), 0);

    foreign.reset();
    ASSERT_TRUE(loaded.serverInit(dir.file("vhserver.cnf"), "")) << log.texts().back();
    EXPECT_STREQ(refusal(), "");
    EXPECT_EQ(endServerChildren(), 1);
}
