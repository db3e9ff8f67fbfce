// The sandbox of the vhproxy service: systemd's own rating of the unit that
// registration writes, and the daemon run under that unit's restrictions
// (tests/usb/unit_sandbox.py: no capabilities, a read-only system, private
// /tmp and /dev, its logs folder, the unit's system call filter and address
// families) in front of the real USB server, asked over the client's link
// and checking who its peers are.
#include "SanitizerBuild.h"
#include "VHProxyLink.h"

#include "LinkTestSupport.h"
#include "ProcessHelpers.h"
#include "QorMessage.h"
#include "ServiceTestSupport.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <regex>

namespace {

class ServiceSandbox : public ::testing::Test {
protected:
    ServiceRoot root;
};

QorMessage request(const std::string& text) {
    std::string reply;
    if (!vhProxyRequest(text, reply, true)) return QorMessage();
    return QorMessage(reply);
}

} // namespace

// systemd-analyze rates a unit from 0 (safe) to 10 (unsafe); 4.0 and less
// is "OK", the unit without a sandbox was 9.6.
TEST_F(ServiceSandbox, SystemdRatesTheUnitSafe) {
    root.registerService();
    int code = -1;
    const std::string rating = runToEnd({"/usr/bin/systemd-analyze", "security", "--offline=true",
                                         "--root=" + root.path(""), "vhproxy.service"},
                                        &code);
    ASSERT_EQ(code, 0) << rating;
    std::smatch level;
    ASSERT_TRUE(std::regex_search(rating, level, std::regex("Overall exposure level for vhproxy.service: ([0-9.]+) ")))
        << rating;
    EXPECT_LE(std::atof(level[1].str().c_str()), 2.0) << rating;
}

TEST_F(ServiceSandbox, TheDaemonWorksInsideItsSandbox) {
    // The USB server with two devices, at the client's default port, which
    // the daemon asks: the server of the ordinary user 65534, whose client
    // asks below (root's client may use it too).
    TempDir files;
    writeTextFile(files.file("devices.json"), "{\"VHDevList\":[" +
                                                  usbDeviceJson("1-1", 0x46d, 0xc077, "USB Optical Mouse") + "," +
                                                  usbDeviceJson("1-2", 0x781, 0x5567, "Cruzer Blade") + "]}");
    writeTextFile(files.file("vhserver.cnf"), "TCPPort=17570\nServerName=desk-9\n");
    for (const std::string& path : {files.path(), files.file("devices.json"), files.file("vhserver.cnf")})
        ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0) << path;
    const std::vector<std::string> server = asOrdinaryUser(
        {USB_SERVER_PROGRAM, "--config", files.file("vhserver.cnf"), "--devices", files.file("devices.json")});
    PeerProcess usbServer(server.front(), {server.begin() + 1, server.end()});
    std::string rest;
    ASSERT_TRUE(usbServer.waitForLine("qdvhwin64: listening on 127.0.0.1:", rest, 10000)) << usbServer.output();

    // Registered so that the ordinary user 65534 (group nogroup) may ask.
    int code = -1;
    const std::string registration =
        runToEnd({root.daemonProgram(), "--registerService", "--startup=manual", "--allowGroup=nogroup"}, &code);
    ASSERT_EQ(code, 0) << registration;
    TempDir logs;
#if defined(QDK_ADDRESS_SANITIZER)
    // The leak check at the end stops the daemon's threads with ptrace.
    const std::string extraCalls = "ptrace";
#else
    const std::string extraCalls;
#endif
    PeerProcess daemon(debianPython(), {testSourcePath("usb/unit_sandbox.py"), root.unitFile(), logs.path(), extraCalls});
    ASSERT_TRUE(waitForLinkPort(true, 20000)) << daemon.output() << readTextFile(logs.file("vhproxy.log"));

    bool fits = false;
    EXPECT_TRUE(probeVHProxy(&fits));
    EXPECT_TRUE(fits);
    request("{\"type\":334}");
    EXPECT_EQ(states(request("{\"type\":324}")), "1-1=1 1-2=1");
    const QorMessage connected = request(R"({"type":326,"VHDevAddress":"1-1","VHDevPrettyName":"USB Optical Mouse"})");
    EXPECT_EQ(connected.getInt("VHErrCode"), 0) << connected.toJson();
    EXPECT_EQ(states(request("{\"type\":324}")), "1-1=3 1-2=1");

    // Its peers are who they are: a member of the allowed group is
    // answered, a user without an account is not.
    const std::vector<std::string> ask{debianPython(), testSourcePath("usb/link_client.py"), "{\"type\":324}"};
    EXPECT_NE(runToEnd(asOrdinaryUser(ask)).find("\"VHDevList\""), std::string::npos);
    std::vector<std::string> stranger{"/usr/bin/setpriv", "--reuid=65533", "--regid=65533", "--clear-groups"};
    stranger.insert(stranger.end(), ask.begin(), ask.end());
    EXPECT_EQ(runToEnd(stranger).find("\"VHDevList\""), std::string::npos);

    // It logs into its logs folder and ends cleanly when stopped.
    const std::uint32_t process = findProcessId("vhproxy");
    ASSERT_NE(process, 0u);
    ::kill(static_cast<pid_t>(process), SIGTERM);
    EXPECT_EQ(daemon.waitForExit(20000), 0) << daemon.output();
    EXPECT_NE(readTextFile(logs.file("vhproxy.log")).find("Answering root and the group 'nogroup'"), std::string::npos);
}
