// The process helpers: command-line text, bounded copies, process lookup
// by executable name and the detached start.
#include "CommandProcess.h"
#include "ProcessHelpers.h"

#include "LogCapture.h"
#include "ProcessTestSupport.h"
#include "TestPaths.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

TEST(CommandLineText, QuotesArgumentsAsTheWindowsCommandLineReadsThem) {
    const struct {
        std::string argument;
        std::string quoted;
    } cases[] = {
        {"", ""},
        {"plain", "plain"},
        {"C:\\dir\\file.exe", "C:\\dir\\file.exe"},
        {"with blank", "\"with blank\""},
        {"tab\there", "\"tab\there\""},
        {"line\nfeed", "\"line\nfeed\""},
        {"vertical\vtab", "\"vertical\vtab\""},
        {"carriage\rreturn", "carriage\rreturn"},
        {"form\ffeed", "form\ffeed"},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"a\\\"b", "\"a\\\\\\\"b\""},
        {"a\\\\\"b", "\"a\\\\\\\\\\\"b\""},
        {"dir with blank\\", "\"dir with blank\\\\\""},
        {"dir with blank\\\\", "\"dir with blank\\\\\\\\\""},
        {"a\\b c", "\"a\\b c\""},
        {"\"already quoted\"", "\"already quoted\""},
        {"\"", "\"\\\"\""},
        {"--displayName=VHProxy service", "\"--displayName=VHProxy service\""},
    };
    for (const auto& c : cases) EXPECT_EQ(quoteCommandArgument(c.argument), c.quoted) << c.argument;
}

TEST(CommandLineText, JoinsArgumentsWithSingleBlanks) {
    const struct {
        std::vector<std::string> arguments;
        std::string line;
    } cases[] = {
        {{}, ""},
        {{"one"}, "one"},
        {{"one", "two words", "three"}, "one \"two words\" three"},
        {{"", "next"}, "next"},
        {{"a", "", "b"}, "a  b"},
        {{"a", ""}, "a "},
        {{"--registerService", "--startup=manual", "--displayName=VHProxy service",
          "--description=VirtualHere support service for Quarrydesk Client"},
         "--registerService --startup=manual \"--displayName=VHProxy service\" "
         "\"--description=VirtualHere support service for Quarrydesk Client\""},
    };
    for (const auto& c : cases) EXPECT_EQ(buildCommandLine(c.arguments), c.line) << c.line;
}

TEST(CopyCString, CopiesAtMostMaxLengthCharacters) {
    const struct {
        const char* text;
        int maxLength;
        std::string copy;
    } cases[] = {
        {"hello", 0, ""},
        {"hello", 3, "hel"},
        {"hello", 5, "hello"},
        {"hello", 50, "hello"},
        {"", 4, ""},
        {"hello", -1, ""},
        {nullptr, 4, ""},
    };
    for (const auto& c : cases) {
        char* copy = copyCString(c.text, c.maxLength);
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(std::string(copy), c.copy) << c.maxLength;
        std::free(copy);
    }
}

class ProcessLookup : public ::testing::Test {
protected:
    NamedSleep program{"qdkfind"};
};

TEST_F(ProcessLookup, FindsARunningProgramByItsExecutableName) {
    EXPECT_EQ(findProcessId(program.name()), 0u);
    EXPECT_FALSE(isProcessRunning(program.path()));

    CommandProcess sleeper;
    ASSERT_TRUE(sleeper.runCommandWait("test", program.path(), {"30"}, false));
    const std::uint32_t pid = sleeper.processId();
    EXPECT_EQ(findProcessId(program.name()), pid);
    // Only the file name counts, wherever the file lies.
    EXPECT_TRUE(isProcessRunning(program.path()));
    EXPECT_TRUE(isProcessRunning("/elsewhere/" + program.name()));
    EXPECT_TRUE(isProcessRunning(program.name()));
    // Linux file names are case-sensitive, and there is no ".exe".
    std::string upper = program.name();
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(findProcessId(upper), 0u);
    EXPECT_EQ(findProcessId(program.name() + ".exe"), 0u);
    EXPECT_EQ(findProcessId(""), 0u);

    sleeper.terminate();
    EXPECT_EQ(findProcessId(program.name()), 0u);
}

TEST_F(ProcessLookup, NeverReportsTheCallingProcess) {
    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(length, 0);
    self[length] = '\0';
    const std::string name = std::string(self).substr(std::string(self).rfind('/') + 1);
    // Other test processes of the same program may run at the same time.
    EXPECT_NE(findProcessId(name), static_cast<std::uint32_t>(::getpid()));
}

TEST_F(ProcessLookup, AnEndedProcessNotYetCollectedDoesNotCount) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::execl(program.path().c_str(), program.name().c_str(), "0", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(child, 0);
    // It has ended once it is a zombie.
    while (processAlive(child)) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(findProcessId(program.name()), 0u);
    ::waitpid(child, nullptr, 0);
}

// An ordinary user may not read the executable link of root's processes;
// the command name still finds them (the client looks for the daemon so).
TEST_F(ProcessLookup, FindsAnotherUsersProcessByItsCommandName) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run as another user";
    CommandProcess sleeper;
    ASSERT_TRUE(sleeper.runCommandWait("test", program.path(), {"30"}, false));
    const std::uint32_t pid = sleeper.processId();
    EXPECT_EXIT(
        {
            if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) std::_Exit(2);
            std::_Exit(findProcessId(program.name()) == pid ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(ShellExecute, StartsTheProgramDetachedInTheCurrentDirectory) {
    TempDir dir;
    const std::string marker = dir.file("started");
    shellExecuteCommand("/bin/sh", {"-c", "echo $(pwd) $(cut -d' ' -f6 /proc/$$/stat) $$ > " + marker});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string text;
    while ((text = readTextFile(marker)).empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_FALSE(text.empty());
    std::istringstream fields(text);
    std::string directory;
    long session = 0;
    long pid = 0;
    fields >> directory >> session >> pid;
    EXPECT_EQ(directory, cwd);
    // A session of its own: the shell leads it.
    EXPECT_EQ(session, pid);
}

TEST(ShellExecute, LogsAProgramThatCannotStart) {
    LogCapture capture;
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    shellExecuteCommand("/nonexistent/program", {"a"});
    const std::vector<std::string> texts = capture.texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "Error during ShellExecute 2, \"No such file or directory\"");
    EXPECT_EQ(texts[1], std::string("Can't start '/nonexistent/program' in '") + cwd + "'");
}
