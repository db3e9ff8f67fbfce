// The start-up routine in this process: configuration file values, the
// command-line values that override them, the classification of a start
// address that cannot be reached and what the routine reports to main.
#include "StartClient.h"

#include "BrokerSession.h"
#include "ClientSettings.h"
#include "TestPaths.h"

#include <Poco/Path.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

class StartupFlow : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("HOME", home.path().c_str(), 1);
        ::setenv("SHELL", "/bin/sh", 1);
        ::unsetenv("INVOCATION_ID");
    }

    bool start(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), home.path() + "/quarrydesk-client");
        argv.clear();
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        kept = std::move(arguments);
        return startClient("Quarrydesk Client 14.0.0 started with PID 7", "qdk-client", home.path() + "/",
                           static_cast<int>(kept.size()), argv.data());
    }

    TempDir home;
    std::vector<std::string> kept;
    std::vector<char*> argv;
};

} // namespace

TEST_F(StartupFlow, OptionsOverrideTheUserFileAndTheStartAddressIsClassified) {
    const int port = freeLoopbackPort(); // nothing listens there any more
    const std::string address = "http://127.0.0.1:" + std::to_string(port) + "/";
    writeTextFile(home.file("qdk-client.xml"),
                  "<config><Client><Username>alice</Username><ConnectUrl>" + address +
                      "</ConnectUrl><h264Profile>MAIN</h264Profile><KioskMode><Enabled>true</Enabled></KioskMode>"
                      "</Client></config>");
    ASSERT_TRUE(start({"--nativeDecodingEnabled=false", "--user=bob", "--profile=HIGH"}));

    EXPECT_EQ(clientUsername.get(), "bob");
    EXPECT_EQ(clientH264Profile.get(), "HIGH");
    EXPECT_TRUE(clientKioskModeEnabled.get());
    EXPECT_FALSE(clientNativeDecoding.get());
    EXPECT_EQ(programDirectory, home.path() + "/");
    EXPECT_EQ(Poco::Path::current(), home.path() + "/");

    EXPECT_EQ(takePendingConnectMessage(), "Can't access server, URL '" + address + "'");
    EXPECT_EQ(sessionUserName(), "bob");
    EXPECT_TRUE(needsConnectDialog());

    const std::string log = readTextFile(home.file("quarrydesk-client.log"));
    EXPECT_NE(log.find(":II:(0):Quarrydesk Client 14.0.0 started with PID 7\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Running in kiosk mode"), std::string::npos);
    EXPECT_NE(log.find("OpenSSL 3."), std::string::npos);
}

TEST_F(StartupFlow, WithoutAStreamDecoderNativeDecodingCannotStart) {
    writeTextFile(home.file("qdk-client.xml"),
                  "<config><Client><Decoder><OpenH264><enabled>false</enabled></OpenH264>"
                  "<LibAVH264><enabled>false</enabled></LibAVH264></Decoder></Client></config>");
    EXPECT_FALSE(start({"http://127.0.0.1:9/"}));
    const std::string log = readTextFile(home.file("quarrydesk-client.log"));
    // Start-up stops before the TLS set-up and the address probe.
    EXPECT_EQ(log.find("OpenSSL"), std::string::npos) << log;
    EXPECT_EQ(log.find("Can't access server"), std::string::npos) << log;
}
