// The log set-up: the first line, the file name rules, the levels, the
// owner-only rotating file and the console fallback when the file cannot be
// opened. Each test runs in its own process with its own home directory.
#include "LogSetup.h"

#include "ClientConfig.h"
#include "ClientSettings.h"
#include "Logging.h"
#include "RunConfig.h"
#include "TestPaths.h"

#include <Poco/AutoPtr.h>
#include <Poco/DirectoryIterator.h>
#include <Poco/RegularExpression.h>
#include <Poco/Util/LayeredConfiguration.h>
#include <Poco/Util/MapConfiguration.h>
#include <Poco/Util/XMLConfiguration.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <sstream>

namespace {

class LogSetup : public ::testing::Test {
protected:
    // The configuration file text (a whole document) and whether the client
    // runs as a service (no console).
    void configure(const std::string& xml, bool service) {
        ::setenv("HOME", home.path().c_str(), 1);
        config = new Poco::Util::LayeredConfiguration;
        config->add(new Poco::Util::MapConfiguration, "properties", -100, true);
        if (!xml.empty()) {
            std::istringstream stream(xml);
            config->add(new Poco::Util::XMLConfiguration(stream), "file", 0, false);
        }
        config->setString("application.dir", home.path() + "/");
        config->setString("application.baseName", "qdk-client");
        config->setBool("application.runAsService", service);
        createClientConfig(config.get())->m_baseConfig = config.get();
        initRunConfigPaths();
    }

    std::string logFile() const { return home.file("quarrydesk-client.log"); }

    TempDir home;
    Poco::AutoPtr<Poco::Util::LayeredConfiguration> config;
};

// Sends standard output into a file while it exists.
class StdoutCapture {
public:
    explicit StdoutCapture(const std::string& path) {
        std::cout.flush();
        std::fflush(stdout);
        saved_ = ::dup(1);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 1);
        ::close(fd);
    }
    ~StdoutCapture() {
        std::cout.flush();
        std::fflush(stdout);
        ::dup2(saved_, 1);
        ::close(saved_);
    }

private:
    int saved_;
};

mode_t fileMode(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? (status.st_mode & 0777) : 0;
}

} // namespace

TEST_F(LogSetup, FirstLineIsTheBannerInAnOwnerOnlyFile) {
    configure("", true);
    ASSERT_TRUE(setupLogChannels("Quarrydesk Client 14.0.0 started with PID 4711", true, ""));
    EXPECT_EQ(logFilePath, logFile());
    const std::string text = readTextFile(logFile());
    const std::string firstLine = text.substr(0, text.find('\n'));
    Poco::RegularExpression pattern(
        "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}:II:\\(\\d+\\):Quarrydesk Client 14\\.0\\.0 started with PID 4711$");
    EXPECT_TRUE(pattern.match(firstLine)) << firstLine;
    EXPECT_EQ(fileMode(logFile()), 0600u);
}

// Only a file the client creates is made owner-only: an existing log file
// keeps the mode its owner gave it, and a path that names no regular file
// (a device such as /dev/null, here a FIFO) is written to and left alone.
TEST_F(LogSetup, AnExistingLogFileKeepsItsMode) {
    configure("", true);
    writeTextFile(logFile(), "older run\n");
    ::chmod(logFile().c_str(), 0640);
    ASSERT_TRUE(setupLogChannels("banner", true, ""));
    EXPECT_EQ(fileMode(logFile()), 0640u);
    EXPECT_EQ(readTextFile(logFile()).rfind("older run\n", 0), 0u);
}

TEST_F(LogSetup, ALogPathThatIsNoRegularFileKeepsItsMode) {
    configure("", true);
    const std::string fifo = home.file("log-fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::chmod(fifo.c_str(), 0666), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_TRUE(setupLogChannels("banner through the fifo", true, fifo));
    EXPECT_EQ(fileMode(fifo), 0666u);
    char buffer[4096] = {};
    const ssize_t n = ::read(reader, buffer, sizeof buffer - 1);
    ::close(reader);
    ASSERT_GT(n, 0);
    EXPECT_NE(std::string(buffer).find("banner through the fifo\n"), std::string::npos) << buffer;
}

// Under a file size limit the log file takes 4 KiB; every line after that
// fails. The client must drop those lines, say so once on standard error, and
// write again once the file can grow (the limit is lifted here).
void logPastTheFileSizeLimit(const std::string& logFile) {
    ::signal(SIGXFSZ, SIG_DFL); // as a shell leaves it: the signal would end the process
    struct rlimit limit {};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    const rlim_t unlimited = limit.rlim_cur;
    limit.rlim_cur = 4096;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    setupLogChannels("banner", true, "");
    for (int i = 0; i < 200; ++i) logInformation(std::string(100, 'x'));
    limit.rlim_cur = unlimited;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    logInformation("written after the limit");
    std::exit(readTextFile(logFile).find("written after the limit") != std::string::npos ? 0 : 3);
}

TEST_F(LogSetup, AFailingWriteDropsTheLineAndLoggingGoesOn) {
    configure("", true);
    EXPECT_EXIT(logPastTheFileSizeLimit(logFile()), testing::ExitedWithCode(0),
                "^Can't write to the log file at '" + logFile() + "': [^\n]*\n$");
}

// Settings are loaded before logging exists (the start-up settings, the log
// settings themselves); what they say about bad values is logged once the
// log is up, after the first line.
TEST_F(LogSetup, WarningsAboutValuesReadBeforeTheSetupAreLoggedAfterTheFirstLine) {
    configure("<config><Client><LogFileNumber>99</LogFileNumber><openGLRenderMode>Off</openGLRenderMode>"
              "</Client></config>",
              true);
    clientOpenGLRenderMode.ensureRegistered(2);
    setLogLevel("verbose");
    ASSERT_TRUE(setupLogChannels("banner", true, ""));
    logInformation("after the set-up");
    const std::string text = readTextFile(logFile());
    const char* expected[] = {
        ":banner\n",
        ":Illegal value 'Off' for config setting Client.openGLRenderMode.  Using default value 'normal'\n",
        ":Illegal value 'verbose' for config setting Client.LogLevel.  Keeping value 'information'\n",
        ":LogFileNumber value '99' is set too high.\n",
        ":Illegal value '99' for config setting Client.LogFileNumber.  Using default value '4'\n",
        ":after the set-up\n",
    };
    std::string::size_type at = 0;
    for (const char* line : expected) {
        const std::string::size_type found = text.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << " in order in\n" << text;
        at = found;
    }
}

TEST_F(LogSetup, FileNamesTable) {
    configure("", true);
    const std::string dir = runConfigLogPath();
    ASSERT_EQ(dir, home.path() + "/");
    struct Case {
        std::string name;
        std::string path;
    } cases[] = {
        {"sub/client.log", dir + "sub/client.log"},
        {"client.log", dir + "client.log"},
        {"/var/tmp/x.log", "/var/tmp/x.log"},
        {"../x.log", "../x.log"},
        {"C:x.log", "C:x.log"},
        {"\\\\server\\share\\x.log", "\\\\server\\share\\x.log"},
        {"${HOME}/env.log", home.path() + "/env.log"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(registerLogSettings(c.name));
        EXPECT_EQ(logFilePath, c.path) << c.name;
    }
}

TEST_F(LogSetup, LevelsTable) {
    configure("", true);
    ASSERT_TRUE(setupLogChannels("banner", true, ""));
    const char* levels[] = {"fatal", "critical", "error", "warning", "notice", "information", "debug", "trace", "none"};
    void (*const writers[])(std::string) = {logFatal, logCritical, logError, logWarning,
                                             logNotice, logInformation, logDebug, logTrace};
    for (int level = 0; level < 9; ++level) {
        setLogLevel(levels[level]);
        EXPECT_EQ(clientLogLevel.get(), levels[level]);
        for (int priority = 0; priority < 8; ++priority)
            writers[priority]("mark " + std::string(levels[level]) + " " + std::to_string(priority + 1));
    }
    const std::string text = readTextFile(logFile());
    for (int level = 0; level < 9; ++level) {
        for (int priority = 0; priority < 8; ++priority) {
            const bool expected = level < 8 && priority <= level;
            const std::string mark = "mark " + std::string(levels[level]) + " " + std::to_string(priority + 1) + "\n";
            EXPECT_EQ(text.find(mark) != std::string::npos, expected) << mark;
        }
    }
    // A name that is no level is refused and changes nothing.
    setLogLevel("warning");
    setLogLevel("verbose");
    EXPECT_EQ(clientLogLevel.get(), "warning");
    EXPECT_FALSE(isDebugEnabled());
}

TEST_F(LogSetup, LevelNoneWritesNotEvenTheFirstLine) {
    configure("<config><Client><LogLevel>none</LogLevel></Client></config>", true);
    ASSERT_TRUE(setupLogChannels("banner", true, ""));
    EXPECT_EQ(readTextFile(logFile()), "");
}

TEST_F(LogSetup, RotatesAtTheSetSizeAndKeepsArchivesOwnerOnly) {
    configure("<config><Client><LogFileSize>16384</LogFileSize><LogFileNumber>1</LogFileNumber></Client></config>", true);
    ASSERT_TRUE(setupLogChannels("banner", true, ""));
    const std::string line(1000, 'x');
    const int lines = 3 * 16384 * 1024 / 1000 / 2; // about 24 MiB: one rotation
    for (int i = 0; i < lines; ++i) logInformation(line);
    std::vector<std::string> archives;
    for (Poco::DirectoryIterator it(home.path()), end; it != end; ++it)
        if (it.name().rfind("quarrydesk-client.log.", 0) == 0) archives.push_back(it.path().toString());
    ASSERT_EQ(archives.size(), 1u);
    struct stat archive {};
    struct stat current {};
    ASSERT_EQ(::stat(archives[0].c_str(), &archive), 0);
    ASSERT_EQ(::stat(logFile().c_str(), &current), 0);
    EXPECT_GE(archive.st_size, 16384 * 1024);
    EXPECT_LT(archive.st_size, 16384 * 1024 + 2000);
    EXPECT_LT(current.st_size, 16384 * 1024);
    EXPECT_EQ(archive.st_mode & 0777, 0600u);
    EXPECT_EQ(current.st_mode & 0777, 0600u);
}

TEST_F(LogSetup, UnopenableFileFallsBackToTheConsole) {
    configure("", false);
    const std::string console = home.file("console.txt");
    bool result = false;
    {
        StdoutCapture capture(console);
        result = setupLogChannels("banner", false, home.file("missing-dir/client.log"));
        logInformation("goes to the console");
        logDebug("dropped at information");
    }
    EXPECT_TRUE(result);
    const std::string text = readTextFile(console);
    EXPECT_NE(text.find("II: goes to the console\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Can't write to the log file"), std::string::npos) << text;
    EXPECT_EQ(text.find("dropped"), std::string::npos) << text;
}

TEST_F(LogSetup, UnopenableFileFailsTheSetupWhenAsked) {
    configure("", false);
    const std::string console = home.file("console.txt");
    bool result = true;
    {
        StdoutCapture capture(console);
        result = setupLogChannels("banner", true, home.file("missing-dir/client.log"));
    }
    EXPECT_FALSE(result);
    EXPECT_NE(readTextFile(console).find("EE: Can't write to the log file at '" + home.file("missing-dir/client.log") +
                                         "'.  Please close any applications"),
              std::string::npos);
}

TEST_F(LogSetup, UnopenableFileWithoutConsoleLogsNowhere) {
    configure("", true);
    EXPECT_TRUE(setupLogChannels("banner", false, home.file("missing-dir/client.log")));
    EXPECT_NO_THROW(logError("nowhere to go"));
}
