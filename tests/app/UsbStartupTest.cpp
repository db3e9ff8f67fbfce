// The USB steps of the start-up in a child process each: the USB module
// found, loaded, initialised and its version checked (module variants in
// the places where the client looks for it, the USB server program present
// or not), and the diagnosis (--debugUSB), which lists the local USB devices
// on standard output and ends with code 0, on made-up USB trees and on this
// machine.
#include "StartClient.h"

#include "NativeClientVHThread.h"
#include "ServerConnectionValues.h"
#include "TestPaths.h"
#include "UsbTreeFixture.h"
#include "VHSupport.h"

#include <Poco/File.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Runs the start-up routine for a program in the directory (ending with
// "/") with the arguments.
void startIn(const std::string& directory, const std::vector<std::string>& arguments) {
    std::vector<std::string> all{directory + "quarrydesk-client"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : all) argv.push_back(argument.data());
    argv.push_back(nullptr);
    startClient("Quarrydesk Client 14.0.0 started with PID 1", "qdk-client", directory, static_cast<int>(all.size()),
                argv.data());
}

class UsbStartup : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("HOME", home.path().c_str(), 1);
        ::setenv("SHELL", "/bin/sh", 1);
        ::setenv("QDK_USB_IDS", testSourcePath("usb/usb.ids.fixture").c_str(), 1);
    }
    void TearDown() override { ::unsetenv("QDK_TEST_SYSTEM_ROOT"); }

    // Runs the start-up with the arguments; standard output goes to a file.
    void start(const std::vector<std::string>& arguments) {
        const int out = ::open(home.file("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out, 1);
        startIn(home.path() + "/", arguments);
        std::exit(99);
    }

    // The lines of standard output that the listing wrote (the console log
    // channel writes there too, each line behind its level letters).
    std::string listing() const {
        std::string text = readTextFile(home.file("stdout"));
        std::string lines;
        for (std::size_t at = 0; at < text.size();) {
            std::size_t end = text.find('\n', at);
            if (end == std::string::npos) end = text.size();
            if (text.compare(at, 19, "VirtualHere device ") == 0) lines += text.substr(at, end - at) + "\n";
            at = end + 1;
        }
        return lines;
    }
    std::string log() const { return readTextFile(home.file("quarrydesk-client.log")); }

    TempDir home;
};

} // namespace

TEST_F(UsbStartup, DiagnosisListsTheDevicesOfAMadeUpTree) {
    TempDir root;
    UsbTreeFixture tree(root.path());
    buildMixedUsbTree(tree);
    ::setenv("QDK_TEST_SYSTEM_ROOT", root.path().c_str(), 1);
    EXPECT_EXIT(start({"--debugUSB", "--logLevel=error"}), testing::ExitedWithCode(0), "");
    std::string expected;
    for (std::size_t n = 0; n < mixedUsbTreeList().size(); ++n)
        expected += "VirtualHere device " + std::to_string(n) + ": " + mixedUsbTreeList()[n] + "\n";
    EXPECT_EQ(listing(), expected);
    // The diagnosis logs at trace whatever level was asked for.
    EXPECT_NE(log().find("Setting product name to Maker Gadget"), std::string::npos) << log();
    EXPECT_NE(log().find("VirtualHere device 6: Maker Gadget @ '2-2'"), std::string::npos);
}

// A machine without USB devices (no USB bus at all, or a bus with no device
// on it) is told so plainly.
TEST_F(UsbStartup, DiagnosisWithoutDevices) {
    TempDir noBus;
    TempDir emptyBus;
    UsbTreeFixture tree(emptyBus.path());
    tree.add(fakeHub("usb1", 0x1d6b, 0x0002, 4));
    for (const std::string& root : {noBus.path(), emptyBus.path()}) {
        ::setenv("QDK_TEST_SYSTEM_ROOT", root.c_str(), 1);
        EXPECT_EXIT(start({"--debugUSB", "--logLevel=error"}), testing::ExitedWithCode(0), "") << root;
        EXPECT_EQ(listing(), "") << root;
        EXPECT_NE(readTextFile(home.file("stdout")).find("\nNo USB devices found\n"), std::string::npos) << root;
        EXPECT_NE(log().find("No USB devices found"), std::string::npos) << root;
    }
}

TEST_F(UsbStartup, DiagnosisOnThisMachine) {
    EXPECT_EXIT(start({"--debugUSB"}), testing::ExitedWithCode(0), "");
    const std::string output = readTextFile(home.file("stdout"));
    if (::access("/sys/bus/usb/devices", F_OK) != 0) {
        EXPECT_EQ(listing(), "");
        EXPECT_NE(output.find("No USB devices found"), std::string::npos) << output;
        EXPECT_NE(log().find("enumerateHostControllers: can't read /sys/bus/usb/devices"), std::string::npos);
    } else {
        EXPECT_EQ(listing().empty(), output.find("No USB devices found") != std::string::npos) << output;
    }
}

namespace {

std::string moduleVariant(const std::string& name) {
    if (name == "14.0.0") return USB_MODULE_FILE;
    return std::string(USB_TEST_MODULE_DIRECTORY) + "/" + name + "/libVirtualHereServer.so";
}

enum class ServerProgram { Present, Missing, NotExecutable };

// One start: where the module lies (variant and folder, "" for none), the
// USB server program, and more settings of Client.VirtualHere.
struct ModuleCase {
    const char* what;
    std::string variant;
    std::string folder; // "bin" (beside the program) or "app" (the program's own)
    ServerProgram server;
    std::string settings;
    // The facade's state: "enabled=.. error=.. version=.. process=.. clientError=..\n<error text>".
    std::string state;
    // Lines that must be in the log (PORT and ROOT stand for the port and
    // the folder of the case); and lines that must not.
    std::vector<std::string> lines;
    std::vector<std::string> absent;
};

// A program directory <root>/app beside <root>/bin; the start-up runs in a
// child process and writes the facade's state into a file.
class UsbModuleStartup : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("HOME", home.path().c_str(), 1);
        ::setenv("SHELL", "/bin/sh", 1);
        ::unsetenv("XDG_STATE_HOME");
    }

    void prepare(const ModuleCase& c) {
        for (const char* folder : {"app", "bin"}) {
            Poco::File(root.file(folder)).createDirectories();
            Poco::File(root.file(folder)).remove(true);
            Poco::File(root.file(folder)).createDirectories();
        }
        std::remove(home.file("quarrydesk-client.log").c_str());
        port = freeLoopbackPort();
        writeTextFile(home.file("qdk-client.xml"), "<config><Client><VirtualHere><ServerPort>" +
                                                       std::to_string(port) + "</ServerPort>" + c.settings +
                                                       "</VirtualHere></Client></config>");
        if (!c.variant.empty())
            Poco::File(moduleVariant(c.variant)).copyTo(root.file(c.folder + "/libVirtualHereServer.so"));
        if (c.server == ServerProgram::Present) ::symlink(USB_SERVER_PROGRAM, root.file("app/qdvhwin64").c_str());
        if (c.server == ServerProgram::NotExecutable) writeTextFile(root.file("app/qdvhwin64"), "#!/bin/sh\n");
    }

    // The console log goes to a file: a failure shows the case's own lines.
    [[noreturn]] void start() {
        const int out = ::open(home.file("console").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out, 1);
        startIn(root.file("app") + "/", {"--logLevel=debug", "--nativeDecodingEnabled=false"});
        // As the client's exit does: the poll thread ends before the state
        // is read and the process exits.
        stopUsbSupport();
        writeTextFile(home.file("state"),
                      "enabled=" + std::to_string(vhIntegrationEnabled.load()) +
                          " error=" + std::to_string(vhLastError.load()) + " version=" + getUsbModuleVersion() +
                          " process=" + std::to_string(vhProcessState.load()) +
                          " clientError=" + std::to_string(qor::clientErrorCode.load()) + "\n" + vhLastErrorText());
        std::exit(0);
    }

    std::string expand(std::string text) const {
        for (const auto& [key, value] : {std::make_pair(std::string("PORT"), std::to_string(port)),
                                         std::make_pair(std::string("ROOT"), root.path())}) {
            for (std::size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), value);
        }
        return text;
    }

    // One failure per case names the case, the lines missing and those
    // that should not be there, and shows the case's log once.
    void check(const ModuleCase& c) {
        prepare(c);
        EXPECT_EXIT(start(), testing::ExitedWithCode(0), "") << "case '" << c.what << "'";
        EXPECT_EQ(readTextFile(home.file("state")), expand(c.state)) << "case '" << c.what << "'";
        const std::string log = readTextFile(home.file("quarrydesk-client.log"));
        std::string difference;
        for (const std::string& line : c.lines)
            if (log.find(expand(line)) == std::string::npos) difference += "  missing: " + expand(line) + "\n";
        for (const std::string& line : c.absent)
            if (log.find(expand(line)) != std::string::npos) difference += "  present: " + expand(line) + "\n";
        EXPECT_EQ(difference, "") << "case '" << c.what << "': log lines\n" << difference << "the log:\n" << log;
    }

    TempDir home;
    TempDir root;
    int port = 0;
};

const std::string notFound = "VirtualHere USB module not found";

} // namespace

TEST_F(UsbModuleStartup, WhereTheModuleIs) {
    const ModuleCase cases[] = {
        {"in ../bin beside the program", "14.0.0", "bin", ServerProgram::Present, "",
         "enabled=1 error=0 version=14.0.0 process=4 clientError=0\n",
         {":II:(0):Loaded library: ROOT/bin/libVirtualHereServer.so, version 14.0.0\n",
          "libVirtualHereServer: Started USB server ROOT/app/qdvhwin64", "on 127.0.0.1:PORT",
          ":DD:(0):VHSupport: VH server installation ok, running\n",
          ":DD:(0):VirtualHere USB integration enabled\n",
          // USB support starts: the daemon is launched, the poll thread runs.
          ":DD:(0):Starting VirtualHere Support\n", ":DD:(0):Launching vhproxy\n"},
         {"VirtualHere integration disabled"}},
        {"in the program's directory", "14.0.0", "app", ServerProgram::Present, "",
         "enabled=1 error=0 version=14.0.0 process=4 clientError=0\n",
         {":II:(0):Loaded library: ROOT/app/libVirtualHereServer.so, version 14.0.0\n"}, {}},
        {"nowhere", "", "", ServerProgram::Present, "",
         "enabled=0 error=1 version=LIB_NOT_LOADED process=0 clientError=0\n" + notFound,
         {":II:(0):USB Forwarding disabled.  Server USB Module is required to enable this feature.\n",
          ":CC:(0):VirtualHere integration disabled, err: " + notFound + "\n",
          ":DD:(0):VirtualHere USB integration not enabled\n"},
         {"Starting VirtualHere Support", "Launching vhproxy"}},
        {"switched off by the setting", "14.0.0", "app", ServerProgram::Present,
         "<Enabled>false</Enabled>",
         "enabled=0 error=1 version=LIB_NOT_LOADED process=0 clientError=0\nVirtualHere integration is not enabled",
         {":CC:(0):VirtualHere integration disabled, err: VirtualHere integration is not enabled\n"},
         {"USB Forwarding disabled", "Loaded library"}},
    };
    for (const ModuleCase& c : cases) {
        check(c);
        // The USB server got the client's port in its configuration, which
        // lies with its log in the user's own folder; nothing was written
        // beside the programs.
        if (c.state.compare(0, 9, "enabled=1") == 0) {
            const std::string files = home.file(".local/state/quarrydesk-client/");
            EXPECT_NE(readTextFile(files + "vhserver.cnf").find("TCPPort=" + std::to_string(port) + "\n"),
                      std::string::npos) << c.what;
            EXPECT_NE(readTextFile(files + "vhserver.log").find("listening on 127.0.0.1:" + std::to_string(port)),
                      std::string::npos) << c.what;
        }
        for (const char* folder : {"app/", "bin/"})
            for (const char* name : {"vhserver.cnf", "vhserver.log"})
                EXPECT_FALSE(Poco::File(root.file(folder + std::string(name))).exists()) << c.what << " " << folder << name;
    }
}

TEST_F(UsbModuleStartup, VersionsAndSymbols) {
    const ModuleCase cases[] = {
        {"14.0.12 is accepted", "v14.0.12", "app", ServerProgram::Present, "",
         "enabled=1 error=0 version=14.0.12 process=4 clientError=0\n",
         {"Loaded library: ROOT/app/libVirtualHereServer.so, version 14.0.12\n",
          ":DD:(0):VirtualHere USB integration enabled\n"},
         {}},
        {"14.1.0 is refused", "v14.1.0", "app", ServerProgram::Present, "",
         "enabled=0 error=0 version=14.1.0 process=4 clientError=1\n",
         {":EE:(0):Quarrydesk Client USB Module version mismatch\n", ":EE:(0):   Installed version:  14.1\n",
          ":EE:(0):   Required version:   14.0\n", ":EE:(0):USB support disabled\n",
          ":WW:(0):Library mismatch: Disabling VirtualHere integration\n", ":DD:(0):Setting error to 1\n"},
         {"VirtualHere USB integration enabled", "Starting VirtualHere Support"}},
        {"14.0 has too few parts", "v14.0", "app", ServerProgram::Present, "",
         "enabled=0 error=0 version=14.0 process=4 clientError=1\n",
         {":EE:(0):Can't determine library version, disabling USB support\n",
          ":WW:(0):Library mismatch: Disabling VirtualHere integration\n"},
         {}},
        {"no version text", "null-version", "app", ServerProgram::Present, "",
         "enabled=0 error=1 version=LIB_NOT_LOADED process=0 clientError=0\n" + notFound,
         {":EE:(0):Library without version: ROOT/app/libVirtualHereServer.so\n",
          ":CC:(0):VirtualHere integration disabled, err: " + notFound + "\n"},
         {"Loaded library"}},
        {"no vhcExec", "no-vhcexec", "app", ServerProgram::Present, "",
         "enabled=0 error=1 version=14.0.0 process=0 clientError=0\n" + notFound,
         {":DD:(0):libVirtualHereServer: USB server configuration ", "libVirtualHereServer: Started USB server",
          ":EE:(0):Can't find symbol: vhcExec\n",
          ":CC:(0):VirtualHere integration disabled, err: " + notFound + "\n"},
         {}},
    };
    for (const ModuleCase& c : cases) check(c);
}

TEST_F(UsbModuleStartup, UsbServerProgram) {
    const std::string cantExecute = "Can't find or execute 'ROOT/app/qdvhwin64'";
    const ModuleCase cases[] = {
        {"absent", "14.0.0", "app", ServerProgram::Missing, "",
         "enabled=0 error=4 version=14.0.0 process=0 clientError=0\n" + cantExecute,
         {"libVirtualHereServer: USB server ROOT/app/qdvhwin64 ended at start, exit code 127",
          ":EE:(0):VHSupport: VirtualHere server 'ROOT/app/qdvhwin64' not executable\n",
          ":EE:(0):VHSupport: Disabling VirtualHere integration\n",
          ":CC:(0):VirtualHere integration disabled, err: " + cantExecute + "\n"},
         {}},
        {"not executable", "14.0.0", "app", ServerProgram::NotExecutable, "",
         "enabled=0 error=4 version=14.0.0 process=0 clientError=0\n" + cantExecute,
         {":EE:(0):VHSupport: VirtualHere server 'ROOT/app/qdvhwin64' not executable\n",
          ":CC:(0):VirtualHere integration disabled, err: " + cantExecute + "\n"},
         {}},
    };
    for (const ModuleCase& c : cases) check(c);
}

// A run that only carries out a command-line duty loads no USB module: the
// USB server is not started and its configuration is not written.
TEST_F(UsbModuleStartup, CommandRunsStartNothing) {
    TempDir noServiceManager;
    const struct {
        std::vector<std::string> arguments;
        int exitCode;
    } runs[] = {
        {{"--debugUSB"}, 0},
        // No systemctl in the system root: the status cannot be asked.
        {{"--vhProxy=status"}, 255},
        {{"--vhProxy=start"}, 255},
    };
    for (const auto& run : runs) {
        prepare({"", "14.0.0", "app", ServerProgram::Present, "", "", {}, {}});
        ::setenv("QDK_TEST_SYSTEM_ROOT", noServiceManager.path().c_str(), 1);
        std::vector<std::string> arguments{"--logLevel=debug"};
        arguments.insert(arguments.end(), run.arguments.begin(), run.arguments.end());
        EXPECT_EXIT(startIn(root.file("app") + "/", arguments), testing::ExitedWithCode(run.exitCode), "")
            << run.arguments.front();
        ::unsetenv("QDK_TEST_SYSTEM_ROOT");
        const std::string log = readTextFile(home.file("quarrydesk-client.log"));
        EXPECT_NE(log.find("started with PID"), std::string::npos) << log;
        for (const char* line : {"Loaded library", "libVirtualHereServer", "USB server"})
            EXPECT_EQ(log.find(line), std::string::npos) << run.arguments.front() << ": " << line << "\n" << log;
        EXPECT_FALSE(Poco::File(root.file("app/vhserver.cnf")).exists()) << run.arguments.front();
    }
}
