#include "LogCapture.h"
#include "Logging.h"

#include <Poco/AutoPtr.h>
#include <Poco/Channel.h>
#include <Poco/Exception.h>
#include <Poco/Logger.h>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// Restores the process-wide masks after each test.
class ComponentMasks : public ::testing::Test {
protected:
    void TearDown() override {
        debugComponentMask = 0;
        traceComponentMask = 0;
    }
};

} // namespace

// Runs in its own process (one test per process under CTest), so no logger exists.
TEST(LoggingBeforeSetup, EverythingIsDroppedQuietly) {
    if (clientLogger() != nullptr) GTEST_SKIP() << "logger created by an earlier test in this process";
    EXPECT_FALSE(isDebugEnabled());
    EXPECT_FALSE(isTraceEnabled());
    logFatal("x");
    logTrace("x");
    componentDebug(LogComponentMask::CONF, "x");
    componentTrace(LogComponentMask::CONF, "x");
}

TEST(ParseComponentList, Table) {
    struct Case {
        const char* text;
        std::uint64_t mask;
    } cases[] = {
        {"ALL", ~std::uint64_t(0)},
        {"all", 0},
        {" BROKER , ,COPY ", 0x3},
        {"BROKER,NOPE", 0x1},
        {"", 0},
        {"NET,JS", LogComponentMask::NET | LogComponentMask::JS},
        {"net", 0},
        {",,,", 0},
        {"DECODER,DECODER", LogComponentMask::DECODER},
    };
    for (const Case& c : cases) EXPECT_EQ(parseComponentList(c.text), c.mask) << "'" << c.text << "'";
}

TEST_F(ComponentMasks, NamesFollowTableOrderNotBitOrder) {
    debugComponentMask = LogComponentMask::BROKER | LogComponentMask::NET | LogComponentMask::SSL;
    EXPECT_EQ(componentNames(LogComponentMask::BROKER | LogComponentMask::NET, false), "BROKER,NET");
    EXPECT_EQ(componentNames(LogComponentMask::NET | LogComponentMask::SSL, false), "SSL,NET");
    EXPECT_EQ(componentNames(LogComponentMask::NET, true), "");
    debugComponentMask = 0;
    EXPECT_EQ(componentNames(LogComponentMask::BROKER | LogComponentMask::NET, false), "");
}

TEST(ComponentNameList, EmptyFirstThenSeventeenNames) {
    std::vector<std::string> names = componentNameList();
    ASSERT_EQ(names.size(), 18u);
    EXPECT_EQ(names[0], "");
    EXPECT_EQ(names[1], "BROKER");
    EXPECT_EQ(names[13], "SSL");
    EXPECT_EQ(names[14], "NET");
    EXPECT_EQ(names[17], "JS");
}

TEST_F(ComponentMasks, ComponentVariantsPromoteToInformation) {
    struct Case {
        const char* level;
        std::uint64_t debugMask;
        std::uint64_t traceMask;
        bool trace; // componentTrace instead of componentDebug
        int priority; // 0: nothing written
        const char* text;
    } cases[] = {
        {"information", LogComponentMask::CONF, 0, false, 6, "CONF:msg"},
        {"information", 0, LogComponentMask::CONF, false, 6, ":msg"},
        {"information", 0, 0, false, 0, nullptr},
        {"debug", 0, 0, false, 7, "msg"},
        {"information", 0, LogComponentMask::CONF, true, 6, "CONF:msg"},
        {"information", LogComponentMask::CONF, 0, true, 0, nullptr},
        {"debug", 0, 0, true, 0, nullptr},
        {"trace", 0, 0, true, 8, "msg"},
        {"none", LogComponentMask::CONF, 0, false, 0, nullptr},
    };
    for (const Case& c : cases) {
        LogCapture capture(c.level);
        debugComponentMask = c.debugMask;
        traceComponentMask = c.traceMask;
        if (c.trace)
            componentTrace(LogComponentMask::CONF, "msg");
        else
            componentDebug(LogComponentMask::CONF, "msg");
        std::vector<CapturedLine> lines = capture.lines();
        SCOPED_TRACE(std::string(c.level) + (c.trace ? " trace" : " debug"));
        if (c.priority == 0) {
            EXPECT_TRUE(lines.empty());
        } else {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0].priority, c.priority);
            EXPECT_EQ(lines[0].text, c.text);
        }
    }
}

TEST(LevelFunctions, PrioritiesAndLevelTests) {
    LogCapture capture("trace");
    logFatal("1");
    logCritical("2");
    logError("3");
    logWarning("4");
    logNotice("5");
    logInformation("6");
    logDebug("7");
    logTrace("8");
    std::vector<CapturedLine> lines = capture.lines();
    ASSERT_EQ(lines.size(), 8u);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(lines[i].priority, i + 1);
        EXPECT_EQ(lines[i].text, std::to_string(i + 1));
    }
    EXPECT_TRUE(isTraceEnabled());
    capture.setLevel("debug");
    EXPECT_TRUE(isDebugEnabled());
    EXPECT_FALSE(isTraceEnabled());
    setClientLoggerLevel("warning");
    EXPECT_FALSE(isDebugEnabled());
    capture.clear();
    logInformation("dropped");
    logWarning("kept");
    EXPECT_EQ(capture.texts(), std::vector<std::string>{"kept"});
}

namespace {

// A channel whose every write fails, as a file on a full disk does.
class FailingChannel : public Poco::Channel {
public:
    void log(const Poco::Message&) override { throw Poco::WriteFileException("full.log"); }
};

void logThroughAFailingChannel() {
    LogCapture capture("trace");
    Poco::AutoPtr<FailingChannel> failing(new FailingChannel);
    Poco::Logger::get("QOR").setChannel(failing);
    logError("first");
    logInformation("second");
    componentDebug(LogComponentMask::CONF, "third");
    std::exit(0);
}

} // namespace

TEST(LevelFunctions, AFailingWriteNeverEndsTheProgramAndIsReportedOnce) {
    EXPECT_EXIT(logThroughAFailingChannel(), testing::ExitedWithCode(0),
                "^Can't write a log line: Cannot write file: full.log\n$");
}
