// The USB steps of the start-up in a child process each: the diagnosis
// (--debugUSB) lists the local USB devices on standard output and ends with
// code 0, on made-up USB trees and on this machine.
#include "StartClient.h"

#include "TestPaths.h"
#include "UsbTreeFixture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

class UsbStartup : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("HOME", home.path().c_str(), 1);
        ::setenv("SHELL", "/bin/sh", 1);
        ::setenv("QDK_USB_IDS", testSourcePath("usb/usb.ids.fixture").c_str(), 1);
    }
    void TearDown() override { ::unsetenv("QDK_USB_SYSTEM_ROOT"); }

    // Runs the start-up with the arguments; standard output goes to a file.
    void start(const std::vector<std::string>& arguments) {
        const int out = ::open(home.file("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out, 1);
        std::vector<std::string> all{home.path() + "/quarrydesk-client"};
        all.insert(all.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& argument : all) argv.push_back(argument.data());
        argv.push_back(nullptr);
        startClient("Quarrydesk Client 14.0.0 started with PID 1", "qdk-client", home.path() + "/",
                    static_cast<int>(all.size()), argv.data());
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
    ::setenv("QDK_USB_SYSTEM_ROOT", root.path().c_str(), 1);
    EXPECT_EXIT(start({"--debugUSB", "--logLevel=error"}), testing::ExitedWithCode(0), "");
    std::string expected;
    for (std::size_t n = 0; n < mixedUsbTreeList().size(); ++n)
        expected += "VirtualHere device " + std::to_string(n) + ": " + mixedUsbTreeList()[n] + "\n";
    EXPECT_EQ(listing(), expected);
    // The diagnosis logs at trace whatever level was asked for.
    EXPECT_NE(log().find("Setting product name to Maker Gadget"), std::string::npos) << log();
    EXPECT_NE(log().find("VirtualHere device 6: Maker Gadget @ '2-2'"), std::string::npos);
}

TEST_F(UsbStartup, DiagnosisOnThisMachine) {
    EXPECT_EXIT(start({"--debugUSB"}), testing::ExitedWithCode(0), "");
    if (::access("/sys/bus/usb/devices", F_OK) != 0) {
        EXPECT_EQ(listing(), "");
        EXPECT_NE(log().find("enumerateHostControllers: can't read /sys/bus/usb/devices"), std::string::npos);
    } else {
        EXPECT_NE(listing(), "");
    }
}
