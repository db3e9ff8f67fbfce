// The USB module stand-in libVirtualHereServer.so, loaded as the client
// loads it: its version builds and missing symbol, the logging functions it
// is given, the USB server that vhsInit configures and starts, and the
// client commands of vhcExec.
#include "LogCapture.h"
#include "Logging.h"
#include "TestPaths.h"
#include "VHModuleInterface.h"

#include <Poco/SharedLibrary.h>

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
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
                                   VHModuleSymbol::ClientServiceInstalled, VHModuleSymbol::ClientServiceRunning})
            EXPECT_TRUE(module.hasSymbol(symbol)) << c.file << " " << symbol;
    }
}

TEST(UsbModule, StartsTheUsbServerAndRunsClientCommands) {
    TempDir dir;
    LogCapture log{"trace"};
    const int port = freeLoopbackPort();
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
    writeTextFile(dir.file("vhserver.cnf"), "TCPPort=" + std::to_string(otherPort) + "\n");
    ASSERT_EQ(::mkdir(dir.file("vhserver.cnf.new").c_str(), 0700), 0);
    ASSERT_TRUE(serverInit(USB_SERVER_PROGRAM, dir.file("vhserver.cnf").c_str(),
                           dir.file("no/such/dir/vhserver.log").c_str()));
    EXPECT_TRUE(log.contains("libVirtualHereServer: Can't write the USB server configuration " +
                             dir.file("vhserver.cnf") + ": "));
    EXPECT_TRUE(log.contains("on 127.0.0.1:" + std::to_string(otherPort)));
    EXPECT_EQ(endServerChildren(), 1);
}
