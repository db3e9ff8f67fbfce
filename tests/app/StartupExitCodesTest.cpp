// Exit codes of the start-up routine: option errors, output requests, the
// render mode, configuration writing and the USB commands. Each case runs
// the routine in a child process with a home directory of its own.
#include "StartClient.h"

#include "TestPaths.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

class StartupExitCodes : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("HOME", home.path().c_str(), 1);
        ::setenv("SHELL", "/bin/sh", 1);
        // The vhProxy commands meet an empty system (no service manager),
        // never the machine's own services.
        ::setenv("QDK_TEST_SYSTEM_ROOT", systemRoot.path().c_str(), 1);
    }
    void TearDown() override { ::unsetenv("QDK_TEST_SYSTEM_ROOT"); }

    // Runs the start-up with the arguments (program name added).
    void start(const std::vector<std::string>& arguments) {
        std::vector<std::string> all{home.path() + "/quarrydesk-client"};
        all.insert(all.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& argument : all) argv.push_back(argument.data());
        argv.push_back(nullptr);
        startClient("Quarrydesk Client 14.0.0 started with PID 1", "qdk-client", home.path() + "/",
                    static_cast<int>(all.size()), argv.data());
        std::exit(99); // returning is not an expected outcome of these cases
    }

    TempDir home;
    TempDir systemRoot;
};

} // namespace

TEST_F(StartupExitCodes, Table) {
    writeTextFile(home.file("plain-file"), "x");
    struct Case {
        std::vector<std::string> arguments;
        int code;
        const char* stderrPattern;
    } cases[] = {
        {{"--bogus"}, 253, "Caught exception: 'bogus'"},
        {{"--user=a", "--user=b"}, 253, "Caught exception"},
        {{"--ignoreSSLError=maybe"}, 253, "takes true or false"},
        {{"qdk://h/?ignoreSSLError=maybe"}, 253, "takes true or false"},
        {{"--user=a", "qdk://h/?user=b"}, 254, "Only one username argument"},
        {{"qdk://h/?secure=yes"}, 254, "'secure' argument must be"},
        {{"--help"}, 0, ""},
        {{"--version"}, 0, ""},
        {{"--version-ext"}, 0, ""},
        {{"--openGLRenderMode=Off", "--nativeDecodingEnabled=false"}, 255, ""},
        {{"--vhProxy=Start"}, 254, ""},
        // Without a service manager no command can tell the service's state.
        {{"--vhProxy=status"}, 255, ""},
        {{"--vhProxy=uninstall"}, 255, ""},
        {{"--vhProxy"}, 255, ""},
        {{"--debugUSB"}, 0, ""},
        {{"--nativeDecodingEnabled=false", "--writeConfig=" + home.file("plain-file") + "/sub/out.xml"}, 255,
         "Can't write the configuration file"},
        {{"--nativeDecodingEnabled=false", "--writeFullConfig=" + home.file("made/for/it/out.xml")}, 0, ""},
    };
    for (const Case& c : cases)
        EXPECT_EXIT(start(c.arguments), testing::ExitedWithCode(c.code), c.stderrPattern) << c.arguments.front();

    // The configuration went into the folder that was made for it, owner-only.
    struct stat status {};
    ASSERT_EQ(::stat(home.file("made/for/it/out.xml").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST_F(StartupExitCodes, HelpComesBeforeWritingAndLogging) {
    EXPECT_EXIT(start({"--help", "--nativeDecodingEnabled=false", "--writeConfig=" + home.file("out.xml")}),
                testing::ExitedWithCode(0), "");
    struct stat status {};
    EXPECT_NE(::stat(home.file("out.xml").c_str(), &status), 0);
    EXPECT_NE(::stat(home.file("quarrydesk-client.log").c_str(), &status), 0);
}
