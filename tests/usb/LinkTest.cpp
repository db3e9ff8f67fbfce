// The vhproxy link against a fake daemon written from the framing table
// alone: replies, malformed and hostile frames, stalls, version checks and
// a listener that does not belong to the service.
#include "VHProxyLink.h"
#include "VHProxyReachability.h"

#include "LinkTestSupport.h"
#include "LogCapture.h"
#include "QorMessage.h"
#include "VHServerPortCheck.h"

#include <Poco/Message.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>

namespace {

const std::string lengthError = "Failed to receive message ";

struct ExchangeCase {
    std::string mode;
    bool answered;
    std::string reply;
    std::vector<std::string> errorLines; // prefixes, in order
};

std::vector<std::string> textsAt(const LogCapture& capture, int priority) {
    std::vector<std::string> texts;
    for (const CapturedLine& line : capture.lines())
        if (line.priority == priority) texts.push_back(line.text);
    return texts;
}

void expectExchange(FakeDaemon& daemon, LogCapture& capture, const ExchangeCase& c,
                    const std::string& request = "{\"type\":324}") {
    daemon.setMode(c.mode);
    capture.clear();
    std::string reply = "stale";
    EXPECT_EQ(vhProxyRequest(request, reply, true), c.answered) << c.mode;
    EXPECT_EQ(reply, c.reply) << c.mode;
    const std::vector<std::string> errors = textsAt(capture, Poco::Message::PRIO_ERROR);
    ASSERT_EQ(errors.size(), c.errorLines.size()) << c.mode << ": " << (errors.empty() ? "" : errors.front());
    for (std::size_t i = 0; i < errors.size(); ++i)
        EXPECT_EQ(errors[i].compare(0, c.errorLines[i].size(), c.errorLines[i]), 0) << c.mode << ": " << errors[i];
}

} // namespace

TEST(VHProxyLink, ReadsRepliesAndRefusesMalformedFrames) {
    FakeDaemon daemon("silent");
    LogCapture capture;
    const std::string status = "{\"VHProxyVersion\":\"14.0.0\",\"type\":328}";
    const ExchangeCase cases[] = {
        {"reply " + status, true, status, {}},
        // A NUL ends the text, also when the length counts it.
        {"reply-nul " + status, true, status, {}},
        // The length may arrive in pieces.
        {"split " + status, true, status, {}},
        // A reset connection is no reply (it used to escape as an exception).
        {"reset", false, "", {"Can't read message, ", lengthError}},
        // An empty reply is no reply, without a line of its own.
        {"length 0", false, "", {}},
        {"length -1", false, "", {"Can't allocate buffer of -1 bytes", lengthError}},
        {"length 2147483647", false, "", {"Can't allocate buffer of 2147483647 bytes", lengthError}},
        {"length 16777217", false, "", {"Can't allocate buffer of 16777217 bytes", lengthError}},
        // The largest frame is allowed; this one then ends without its text.
        {"length 16777216", false, "", {"Received only 0 bytes of message, should be 16777216, err ", lengthError}},
        {"short-close", false, "", {"Can't read message size, only 2 bytes read", lengthError}},
        {"partial", false, "", {"Received only 60 bytes of message, should be 100, err ", lengthError}},
        {"reply [1,2,3]", false, "", {"Reply of vhproxy is not a JSON object: '[1,2,3]'"}},
        {"reply \"text\"", false, "", {"Reply of vhproxy is not a JSON object: '\"text\"'"}},
        {"reply not json", false, "", {"Reply of vhproxy is not a JSON object: 'not json'"}},
        // What the reply says is the caller's business.
        {"reply {\"VHErrCode\":0,\"VHErrType\":3}", true, "{\"VHErrCode\":0,\"VHErrType\":3}", {}},
        {"reply {\"VHErrCode\":23,\"VHErrMsg\":\"\",\"VHErrType\":0}", true,
         "{\"VHErrCode\":23,\"VHErrMsg\":\"\",\"VHErrType\":0}", {}},
    };
    for (const ExchangeCase& c : cases) expectExchange(daemon, capture, c);
}

TEST(VHProxyLink, SendsTheLengthAndExactlyTheTextOfTheRequest) {
    FakeDaemon daemon("echo");
    const std::vector<std::string> requests = {
        "{\"type\":324}", "{\"VHDevAddress\":\"a\xc3\xa9\",\"type\":326}",
        std::string("{\"pad\":\"") + std::string(100000, 'x') + "\",\"type\":1}"};
    for (const std::string& request : requests) {
        std::string reply;
        ASSERT_TRUE(vhProxyRequest(request, reply, true));
        const QorMessage echo(reply);
        EXPECT_EQ(echo.getInt("requestLength"), static_cast<int>(request.size()));
        EXPECT_EQ(echo.getString("request"), request);
        EXPECT_EQ(echo.getInt("extraBytes"), 0);
    }
}

TEST(VHProxyLink, ReportsAMissingDaemonAtTheCallersLevel) {
    ASSERT_FALSE(linkPortOpen());
    LogCapture capture;
    const std::string line = "Can't connect locally to server (127.0.0.1:7679) vhproxy not started ?";
    std::string reply;
    EXPECT_FALSE(vhProxyRequest("{\"type\":324}", reply, true));
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0].text, line);
    EXPECT_EQ(capture.lines()[0].priority, Poco::Message::PRIO_ERROR);

    capture.clear();
    EXPECT_FALSE(vhProxyRequest("{\"type\":324}", reply, false));
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0].priority, Poco::Message::PRIO_DEBUG);

    capture.clear();
    EXPECT_FALSE(probeVHProxy(nullptr));
    EXPECT_EQ(capture.texts(), (std::vector<std::string>{line, "vhproxy is not running",
                                                         "vhProxySupport: Can't reach vhproxy"}));
}

// A daemon that stops answering holds no caller longer than the link's time-out.
std::string stalledModeName(const ::testing::TestParamInfo<const char*>& info) {
    static const char* const names[] = {"Silent", "TwoLengthBytes", "HeaderOnly", "Drip"};
    return names[info.index];
}

class StalledDaemon : public ::testing::TestWithParam<const char*> {};

TEST_P(StalledDaemon, CountsAsNoReplyAfterTheTimeOut) {
    FakeDaemon daemon(GetParam());
    LogCapture capture;
    std::string reply;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(vhProxyRequest("{\"type\":324}", reply, true));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(vhProxyLinkTimeoutMs - 50));
    EXPECT_LT(waited, std::chrono::milliseconds(vhProxyLinkTimeoutMs + 3000));
    EXPECT_TRUE(capture.contains("No reply from vhproxy within 5000 ms"));
    EXPECT_TRUE(capture.contains(lengthError));
}

INSTANTIATE_TEST_SUITE_P(Modes, StalledDaemon,
                         ::testing::Values("silent", "short-stall", "length-stall 100",
                                           "drip {\"type\":328,\"VHProxyVersion\":\"14.0.0\"}"),
                         stalledModeName);

TEST(VHProxyLink, ChecksTheDaemonsVersionAndStatusFlags) {
    FakeDaemon daemon("silent");
    LogCapture capture;
    const std::string required = "Required version: '14.0.0'";
    const struct {
        std::string reply;
        bool running;
        bool service;
        bool fits;
        std::string warning;
    } cases[] = {
        {"{\"type\":328,\"VHProxyVersion\":\"14.0.0\",\"VHSvrRunning\":true,\"VHSvrService\":1}", true, true, true, ""},
        {"{\"type\":328,\"VHProxyVersion\":\"14.0.0\",\"VHSvrRunning\":false,\"VHSvrService\":0}", false, false, true,
         ""},
        {"{\"type\":328,\"VHProxyVersion\":\"14.0\"}", false, false, false,
         "Incompatible vhproxy daemon found.  Running version: '14.0'.  " + required},
        {"{\"type\":328,\"VHProxyVersion\":\"14.0.1\"}", false, false, false,
         "Incompatible vhproxy daemon found.  Running version: '14.0.1'.  " + required},
        {"{\"type\":328,\"VHProxyVersion\":\"14.0.0 \"}", false, false, false,
         "Incompatible vhproxy daemon found.  Running version: '14.0.0 '.  " + required},
        {"{\"type\":328,\"VHProxyVersion\":null,\"VHSvrRunning\":\"maybe\"}", false, false, false,
         "Incompatible vhproxy daemon found.  Running version: unknown.  " + required},
        {"{\"type\":328}", false, false, false,
         "Incompatible vhproxy daemon found.  Running version: unknown.  " + required},
    };
    for (const auto& c : cases) {
        daemon.setMode("reply " + c.reply);
        capture.clear();
        bool running = !c.running;
        bool service = !c.service;
        bool fits = !c.fits;
        EXPECT_TRUE(checkVHProxyVersion(&running, &service, &fits)) << c.reply;
        EXPECT_EQ(running, c.running) << c.reply;
        EXPECT_EQ(service, c.service) << c.reply;
        EXPECT_EQ(fits, c.fits) << c.reply;
        const std::vector<std::string> warnings = textsAt(capture, Poco::Message::PRIO_WARNING);
        EXPECT_EQ(warnings, c.warning.empty() ? std::vector<std::string>() : std::vector<std::string>{c.warning})
            << c.reply;
        // Without an output there is no version check.
        capture.clear();
        EXPECT_TRUE(probeVHProxy(nullptr)) << c.reply;
        EXPECT_TRUE(textsAt(capture, Poco::Message::PRIO_WARNING).empty()) << c.reply;
    }

    // A reply that is not an object is no answer; the outputs stay as they were.
    daemon.setMode("reply [328]");
    bool fits = true;
    EXPECT_FALSE(checkVHProxyVersion(nullptr, nullptr, &fits));
    EXPECT_TRUE(fits);
    EXPECT_FALSE(probeVHProxy(&fits));
}

// The daemon's status names the USB server's port it asks; one that is not
// the client's (Client.VirtualHere.ServerPort, 17570 here) is warned about
// once per port, and the daemon's "USB server not running" replies then
// tell the page why and what to do.
TEST(VHProxyLink, WarnsWhenTheDaemonAsksAnotherPort) {
    FakeDaemon daemon("silent");
    LogCapture capture;
    const std::string mismatch17571 =
        "The USB service vhproxy asks the USB server at port 17571, but this client's USB server listens at port "
        "17570 (Client.VirtualHere.ServerPort).  Set the same port, or install the service again with this one: "
        "run the client with --vhProxy=uninstall, then with --vhProxy=install";
    const struct {
        const char* port;  // VHSvrPort of the reply; null: none
        int warnings;      // new warnings
        bool mismatch;
    } cases[] = {
        {"17570", 0, false}, {"17571", 1, true}, {"17571", 0, true}, {nullptr, 0, true},
        {"17572", 1, true},  {"17570", 0, false}, {"17571", 1, true}, {"17570", 0, false},
    };
    for (const auto& c : cases) {
        const std::string what = c.port != nullptr ? c.port : "none";
        daemon.setMode(std::string("reply {\"type\":328,\"VHProxyVersion\":\"14.0.0\"") +
                       (c.port != nullptr ? std::string(",\"VHSvrPort\":") + c.port : "") + "}");
        capture.clear();
        EXPECT_TRUE(probeVHProxy(nullptr)) << what;
        const std::vector<std::string> warnings = textsAt(capture, Poco::Message::PRIO_WARNING);
        EXPECT_EQ(static_cast<int>(warnings.size()), c.warnings) << what;
        if (c.warnings > 0 && !warnings.empty()) {
            EXPECT_EQ(warnings.front().find("The USB service vhproxy asks the USB server at port " + what), 0u);
        }
        EXPECT_EQ(!vhServerPortMismatch().empty(), c.mismatch) << what;
        if (std::string(what) == "17571") {
            EXPECT_EQ(vhServerPortMismatch(), mismatch17571);
        }

        // The page's reports.
        const struct {
            const char* reply;
            bool explained;
        } replies[] = {
            {"{\"type\":325,\"VHErrType\":4,\"VHErrCode\":1,\"VHErrMsg\":\"The VirtualHere USB server is not running\"}", true},
            {"{\"type\":326,\"VHErrType\":4,\"VHErrCode\":1,\"VHErrMsg\":\"The VirtualHere USB server is not running\"}", true},
            {"{\"type\":325,\"VHErrType\":2,\"VHErrCode\":3,\"VHErrMsg\":\"Device not found\"}", false},
            {"{\"type\":325,\"VHErrType\":0,\"VHErrCode\":0,\"VHErrMsg\":\"\",\"VHDevList\":[]}", false},
        };
        for (const auto& r : replies) {
            QorMessage reply{std::string(r.reply)};
            const std::string before = reply.toJson();
            explainVHServerDown(reply);
            if (r.explained && c.mismatch) {
                EXPECT_EQ(reply.getString("VHErrMsg"), vhServerPortMismatch()) << what << " " << r.reply;
                EXPECT_EQ(reply.getInt("VHErrCode"), 1);
            } else {
                EXPECT_EQ(reply.toJson(), before) << what << " " << r.reply;
            }
        }
    }
}

// A process of another user that took the port while the daemon was down
// is not spoken to; that is said once while it holds the port.
TEST(VHProxyLink, RefusesAListenerOfAnotherUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the listener as another user";
    FakeDaemon daemon("reply {\"type\":328,\"VHProxyVersion\":\"14.0.0\"}", true);
    LogCapture capture;
    for (int request = 0; request < 3; ++request) {
        std::string reply;
        EXPECT_FALSE(vhProxyRequest("{\"type\":328}", reply, true));
        EXPECT_EQ(reply, "");
        EXPECT_FALSE(probeVHProxy(nullptr));
    }
    EXPECT_EQ(textsAt(capture, Poco::Message::PRIO_ERROR),
              std::vector<std::string>{"vhProxySupport: The listener on 127.0.0.1:7679 belongs to user 65534, not to "
                                       "the vhproxy service; not using it"});
    EXPECT_EQ(vhProxyReachability.state(), VHProxyState::PortHeld);
    EXPECT_EQ(vhProxyReachability.snapshot().detail, "65534");
}

// A caller that cannot wait that long (a thread that must end within one
// of its ticks) gives the exchange a shorter bound.
TEST(VHProxyLink, TakesAShorterTimeOutFromItsCaller) {
    FakeDaemon daemon("silent");
    LogCapture capture;
    std::string reply;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(vhProxyRequest("{\"type\":324}", reply, true, 300));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(vhProxyLinkTimeoutMs));
    EXPECT_TRUE(capture.contains("No reply from vhproxy within 300 ms"));
}

// The daemon's refusal of this user, as it answers any request: no reply
// for the requests' callers (the refusal stays in reply for them to read),
// an answer for the status probe, which then checks no version and finds
// the daemon neither silent nor incompatible.
TEST(VHProxyLink, TellsTheDaemonsRefusalOfThisUser) {
    const struct {
        std::string reply;
        bool refusal;
        std::string message;
        std::string group;
    } replies[] = {
        {R"({"type":324,"VHErrType":4,"VHErrCode":6,"VHErrMsg":"not in plugdev","VHAllowGroup":"plugdev"})", true,
         "not in plugdev", "plugdev"},
        {R"({"type":0,"VHErrType":"4","VHErrCode":"6"})", true, "", ""},
        {R"({"type":324,"VHErrType":4,"VHErrCode":1,"VHErrMsg":"The VirtualHere USB server is not running"})", false,
         "", ""},
        {R"({"type":324,"VHErrType":2,"VHErrCode":6,"VHErrMsg":"x"})", false, "", ""},
        {R"({"type":324,"VHErrType":"x","VHErrCode":6})", false, "", ""},
        {R"({"type":328,"VHProxyVersion":"14.0.0"})", false, "", ""},
        {"[4,6]", false, "", ""},
        {"", false, "", ""},
    };
    for (const auto& r : replies) {
        std::string message = "unchanged";
        std::string group = "unchanged";
        EXPECT_EQ(isVHProxyRefusal(r.reply, &message, &group), r.refusal) << r.reply;
        if (r.refusal) {
            EXPECT_EQ(message, r.message) << r.reply;
            EXPECT_EQ(group, r.group) << r.reply;
        }
    }

    FakeDaemon daemon("refuse plugdev");
    LogCapture capture;
    for (const std::string request : {"{\"type\":324}", "{\"type\":326,\"VHDevAddress\":\"1.1\"}", "{\"type\":334}"}) {
        std::string reply;
        EXPECT_FALSE(vhProxyRequest(request, reply, true)) << request;
        EXPECT_TRUE(isVHProxyRefusal(reply)) << request << ": " << reply;
        EXPECT_EQ(QorMessage(reply).getType(), QorMessage(request).getType()) << reply;
    }
    bool running = true;
    bool fits = true;
    bool refused = false;
    EXPECT_TRUE(checkVHProxyVersion(&running, nullptr, &fits, &refused));
    EXPECT_FALSE(running);
    EXPECT_FALSE(fits);
    EXPECT_TRUE(refused);
    refused = false;
    EXPECT_TRUE(probeVHProxy(&fits, &refused));
    EXPECT_TRUE(refused);
    EXPECT_FALSE(capture.contains("Incompatible vhproxy daemon found"));
    EXPECT_FALSE(capture.contains("Can't reach"));
}
