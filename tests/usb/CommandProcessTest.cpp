// CommandProcess: commands run from an argument vector with their output on
// a pipe, exit codes, waits, output larger than a pipe holds, and the job
// that ends every process a command started, also those that escaped into
// a session of their own, and leaves no zombie.
#include "CommandProcess.h"

#include "LogCapture.h"
#include "ProcessTestSupport.h"
#include "TestPaths.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

namespace {

// Reads whitespace-separated process ids from the first line of a stream.
std::vector<pid_t> readPids(FILE* stream) {
    char line[256] = {};
    std::vector<pid_t> pids;
    if (std::fgets(line, sizeof line, stream) == nullptr) return pids;
    std::istringstream fields(line);
    long pid = 0;
    while (fields >> pid) pids.push_back(static_cast<pid_t>(pid));
    return pids;
}

// No child of this test process is left, not even a zombie (keepers
// included; programs started by other means are not expected here).
void expectNoChildren() {
    const std::vector<pid_t> children = childrenOf(::getpid());
    EXPECT_TRUE(children.empty()) << children.size() << " child processes left, first " << children.front();
}

} // namespace

TEST(CommandProcess, RecordsExitCodes) {
    const struct {
        std::vector<std::string> arguments;
        std::uint32_t code;
    } cases[] = {
        {{"-c", "exit 0"}, 0},
        {{"-c", "exit 3"}, 3},
        {{"-c", "exit 255"}, 255},
        {{"-c", "kill -KILL $$"}, 128 + SIGKILL},
        {{"-c", "kill -TERM $$"}, 128 + SIGTERM},
    };
    for (const auto& c : cases) {
        CommandProcess command;
        ASSERT_TRUE(command.runCommandWait("test", "/bin/sh", c.arguments, true, 10000));
        EXPECT_TRUE(command.exitCodeKnown()) << c.arguments[1];
        EXPECT_EQ(command.exitCode(), c.code) << c.arguments[1];
    }
    expectNoChildren();
}

TEST(CommandProcess, PassesArgumentsUntouchedAndStreamsTheOutput) {
    CommandProcess command;
    FILE* output = command.runCommandStream("test", "/bin/printf",
                                            {"%s|", "two words", "\"quoted\"", "$HOME", "a\\b", "", "*"});
    ASSERT_NE(output, nullptr);
    char text[256] = {};
    const std::size_t n = std::fread(text, 1, sizeof text - 1, output);
    EXPECT_EQ(std::string(text, n), "two words|\"quoted\"|$HOME|a\\b||*|");
    EXPECT_TRUE(command.waitForExit(10000));
    EXPECT_EQ(command.exitCode(), 0u);
}

TEST(CommandProcess, ReadsAnOutputLargerThanThePipeWhileWaiting) {
    CommandProcess command;
    ASSERT_TRUE(command.runCommandWait("test", "/usr/bin/head", {"-c", "1048576", "/dev/zero"}, true, 20000));
    EXPECT_TRUE(command.exitCodeKnown());
    EXPECT_EQ(command.exitCode(), 0u);
    EXPECT_EQ(command.output().size(), 1048576u);
}

TEST(CommandProcess, DiscardsErrorOutputUnlessAskedToCaptureIt) {
    for (const bool capture : {false, true}) {
        CommandProcess command;
        command.setCaptureErrorOutput(capture);
        ASSERT_TRUE(command.runCommandWait("test", "/bin/sh", {"-c", "echo out; echo err >&2"}, true, 10000));
        EXPECT_EQ(command.output(), capture ? "out\nerr\n" : "out\n");
    }
}

TEST(CommandProcess, StartsWithoutWaitingAndTimesOutALongWait) {
    CommandProcess quick;
    const auto before = std::chrono::steady_clock::now();
    ASSERT_TRUE(quick.runCommandWait("test", "/bin/sleep", {"30"}, false));
    EXPECT_FALSE(quick.exitCodeKnown());

    CommandProcess slow;
    ASSERT_TRUE(slow.runCommandWait("test", "/bin/sleep", {"30"}, true));
    const auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_FALSE(slow.exitCodeKnown());
    EXPECT_GE(waited, std::chrono::milliseconds(1000));
    EXPECT_FALSE(slow.waitForExit(50));

    const pid_t pid = static_cast<pid_t>(slow.processId());
    slow.terminate();
    quick.terminate();
    EXPECT_FALSE(processAlive(pid));
    EXPECT_FALSE(slow.exitCodeKnown());
    expectNoChildren();
}

TEST(CommandProcess, KeepsTheExitCodeOfACommandThatEndedBeforeTheRelease) {
    CommandProcess command;
    ASSERT_NE(command.runCommandStream("test", "/bin/sh", {"-c", "exit 7"}), nullptr);
    // Not waited for: the release finds it ended and records its code.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    command.terminate();
    EXPECT_TRUE(command.exitCodeKnown());
    EXPECT_EQ(command.exitCode(), 7u);
    command.terminate();
    EXPECT_EQ(command.exitCode(), 7u);
}

TEST(CommandProcess, ReportsACommandThatCannotStart) {
    LogCapture capture;
    TempDir dir;
    writeTextFile(dir.file("data"), "not a program");
    const struct {
        std::string command;
        std::string error;
    } cases[] = {
        {"/nonexistent/program", "2, \"No such file or directory\""},
        {dir.file("data"), "13, \"Permission denied\""},
        {"sh", "2, \"No such file or directory\""}, // no search of PATH
    };
    for (const auto& c : cases) {
        capture.clear();
        CommandProcess command;
        EXPECT_FALSE(command.runCommandWait("probe", c.command, {"x"}, true));
        EXPECT_TRUE(capture.contains("probe: Failed to execute '" + c.command + "' probe: Stream command failed, error " +
                                     c.error))
            << c.command;
    }
    expectNoChildren();
}

TEST(CommandProcess, HandsTheCommandNoDescriptorOfThisProcess) {
    const int leaked = ::open("/dev/null", O_RDONLY); // not close-on-exec
    ASSERT_GE(leaked, 0);
    CommandProcess command;
    ASSERT_TRUE(command.runCommandWait("test", "/bin/ls", {"/proc/self/fd"}, true, 10000));
    ::close(leaked);
    // 0, 1, 2 and the directory ls reads.
    EXPECT_EQ(command.output(), "0\n1\n2\n3\n");
}

// The job ends every process the command started: in the same group, in a
// session of their own while the command runs, and orphans whose parents
// ended before the release.
TEST(CommandProcess, EndsEveryProcessOfTheJob) {
    const struct {
        const char* what;
        const char* script;
    } cases[] = {
        {"background child", "sleep 300 & echo $!; wait"},
        {"own session, command running", "setsid sleep 300 & echo $!; wait"},
        {"own session, parent ended", "setsid sh -c 'sleep 300 >/dev/null & echo $!; exit 0'; sleep 300"},
        {"command ended", "setsid sleep 300 >/dev/null 2>&1 & echo $!"},
        {"double fork into a session",
         "sh -c 'setsid sh -c \"sleep 300 >/dev/null 2>&1 & echo \\$!\" & wait' ; exit 0"},
    };
    for (const auto& c : cases) {
        CommandProcess command;
        FILE* output = command.runCommandStream("test", "/bin/sh", {"-c", c.script});
        ASSERT_NE(output, nullptr) << c.what;
        const std::vector<pid_t> pids = readPids(output);
        ASSERT_EQ(pids.size(), 1u) << c.what;
        EXPECT_TRUE(processAlive(pids[0])) << c.what;
        command.terminate();
        EXPECT_TRUE(waitUntilGone(pids[0], 100)) << c.what;
    }
    expectNoChildren();
}

// The job also ends when the process that holds it dies without releasing it.
TEST(CommandProcess, EndsTheJobWhenItsHolderDies) {
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        ::close(report[0]);
        CommandProcess command;
        FILE* output = command.runCommandStream("test", "/bin/sh", {"-c", "setsid sleep 300 & echo $!; wait"});
        const std::vector<pid_t> pids = output ? readPids(output) : std::vector<pid_t>();
        const pid_t pid = pids.empty() ? 0 : pids[0];
        if (::write(report[1], &pid, sizeof pid) != sizeof pid) ::_exit(1);
        ::pause();
        ::_exit(0);
    }
    ::close(report[1]);
    pid_t grandchild = 0;
    ASSERT_EQ(::read(report[0], &grandchild, sizeof grandchild), static_cast<ssize_t>(sizeof grandchild));
    ::close(report[0]);
    ASSERT_GT(grandchild, 0);
    EXPECT_TRUE(processAlive(grandchild));
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_TRUE(waitUntilGone(grandchild, 5000));
}

// Threads of the client run commands at the same time (start-up, the USB
// support thread, the server connection's thread).
TEST(CommandProcess, RunsCommandsFromSeveralThreadsAtOnce) {
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&failures, t] {
            for (int i = 0; i < 5; ++i) {
                CommandProcess command;
                const std::string text = std::to_string(t) + "-" + std::to_string(i);
                if (!command.runCommandWait("test", "/bin/echo", {text}, true, 10000) || !command.exitCodeKnown() ||
                    command.output() != text + "\n")
                    ++failures;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    expectNoChildren();
}
