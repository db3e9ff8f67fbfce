// Linux side of CommandProcess. A job is a keeper process forked from this
// one: it leads a process group of its own, is a child subreaper (so every
// orphan among the command's descendants becomes its child, whatever
// session or group it moved to) and starts the command. It reports the
// command's id and exec result, then its exit status, on a status pipe, and
// collects every descendant that ends. When its control pipe closes - the
// holder's release, or the end of this process - it kills its children
// round after round until none is left (orphans of the killed come to it),
// collects them and ends.
//
// Between fork and exec the keeper runs in a copy of a multi-threaded
// process, so it calls only async-signal-safe functions: no allocation,
// no stdio, no locks.
#include "CommandProcess.h"

#include "VHLog.h"

#include "Utilities.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace {

constexpr std::size_t keptOutputLimit = 8u << 20;

std::string errnoText(int code) { return windowsErrorText(static_cast<unsigned int>(code)); }

// ---- async-signal-safe pieces of the keeper ----

bool writeAll(int fd, const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads exactly size bytes; false at the end of the stream or on an error.
bool readAll(int fd, void* data, std::size_t size) {
    char* bytes = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = ::read(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void sleepMillisecond() {
    struct timespec pause = {0, 1000000};
    ::nanosleep(&pause, nullptr);
}

// Closes every descriptor from first to last (inclusive).
void closeRange(int first, int last) {
    if (first > last) return;
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, static_cast<unsigned int>(first), static_cast<unsigned int>(last), 0u) == 0) return;
#endif
    struct rlimit limit;
    int end = last;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<rlim_t>(end) >= limit.rlim_cur)
        end = static_cast<int>(limit.rlim_cur) - 1;
    for (int fd = first; fd <= end; ++fd) ::close(fd);
}

// Closes every descriptor from 3 up except those kept (at most 8).
void closeOtherDescriptors(const int* kept, int count) {
    int sorted[8];
    int n = 0;
    for (int i = 0; i < count && n < 8; ++i) {
        if (kept[i] < 3) continue;
        int j = n++;
        while (j > 0 && sorted[j - 1] > kept[i]) {
            sorted[j] = sorted[j - 1];
            --j;
        }
        sorted[j] = kept[i];
    }
    int next = 3;
    for (int i = 0; i < n; ++i) {
        closeRange(next, sorted[i] - 1);
        if (sorted[i] + 1 > next) next = sorted[i] + 1;
    }
    closeRange(next, 0x7fffffff);
}

// The parent id from a /proc/<pid>/stat text; 0 when it cannot be read.
long parentFromStat(const char* text, ssize_t length) {
    ssize_t close = -1;
    for (ssize_t i = 0; i < length; ++i)
        if (text[i] == ')') close = i;
    // ") S ppid"
    ssize_t i = close + 2;
    if (close < 0 || i >= length) return 0;
    ++i; // the state letter
    while (i < length && text[i] == ' ') ++i;
    long parent = 0;
    while (i < length && text[i] >= '0' && text[i] <= '9') parent = parent * 10 + (text[i++] - '0');
    return parent;
}

// Appends the decimal digits of value to buffer at position; returns the new end.
int appendDecimal(char* buffer, int position, long value) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    while (n > 0) buffer[position++] = digits[--n];
    return position;
}

struct LinuxDirent64 {
    unsigned long long inode;
    long long offset;
    unsigned short length;
    unsigned char type;
    char name[1];
};

// Sends SIGKILL to every child of this process; true when there was one.
bool killChildren(pid_t self) {
    const int proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) return false;
    bool found = false;
    alignas(8) char entries[4096];
    for (;;) {
        const long size = ::syscall(SYS_getdents64, proc, entries, sizeof entries);
        if (size <= 0) break;
        for (long offset = 0; offset < size;) {
            const LinuxDirent64* entry = reinterpret_cast<const LinuxDirent64*>(entries + offset);
            offset += entry->length;
            long pid = 0;
            const char* name = entry->name;
            if (*name == '\0') continue;
            bool decimal = true;
            for (const char* c = name; *c != '\0'; ++c) {
                if (*c < '0' || *c > '9') {
                    decimal = false;
                    break;
                }
                pid = pid * 10 + (*c - '0');
            }
            if (!decimal || pid == self) continue;
            char path[48] = "/proc/";
            int end = appendDecimal(path, 6, pid);
            const char suffix[] = "/stat";
            for (const char* s = suffix; *s != '\0'; ++s) path[end++] = *s;
            path[end] = '\0';
            const int stat = ::open(path, O_RDONLY | O_CLOEXEC);
            if (stat < 0) continue;
            char text[512];
            const ssize_t length = ::read(stat, text, sizeof text);
            ::close(stat);
            if (length > 0 && parentFromStat(text, length) == self) {
                ::kill(static_cast<pid_t>(pid), SIGKILL);
                found = true;
            }
        }
    }
    ::close(proc);
    return found;
}

// Collects every child that has ended; reports the command's status once.
void collectChildren(pid_t command, bool& commandReported, int statusFd) {
    int status = 0;
    pid_t ended;
    while ((ended = ::waitpid(-1, &status, WNOHANG)) > 0) {
        if (ended == command && !commandReported) {
            commandReported = true;
            writeAll(statusFd, &status, sizeof status);
        }
    }
}

// Kills every process of the job, collects them and ends the keeper. A
// process stuck in the kernel cannot hold it up for more than about 2 s.
[[noreturn]] void endJob(pid_t self) {
    for (int round = 0; round < 2000; ++round) {
        killChildren(self);
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        errno = 0;
        if (::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD) break;
        sleepMillisecond();
    }
    ::_exit(0);
}

struct KeeperPlan {
    const char* path;
    char* const* argv;
    char* const* envp;
    int outputWrite;
    int statusWrite;
    int controlRead;
    bool mergeErrorOutput;
};

// Moves fd to a number of 3 or more, so that it survives the set-up of the
// standard descriptors.
int aboveStandard(int fd) { return fd >= 3 ? fd : ::fcntl(fd, F_DUPFD_CLOEXEC, 3); }

[[noreturn]] void runCommand(const KeeperPlan& plan, int devNull, int execWrite) {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    const int output = aboveStandard(plan.outputWrite);
    const int input = aboveStandard(devNull);
    ::dup2(input, STDIN_FILENO);
    ::dup2(output, STDOUT_FILENO);
    ::dup2(plan.mergeErrorOutput ? output : input, STDERR_FILENO);
    ::execve(plan.path, plan.argv, plan.envp);
    const int error = errno;
    writeAll(execWrite, &error, sizeof error);
    ::_exit(127);
}

[[noreturn]] void runKeeper(const KeeperPlan& plan) {
    const pid_t self = ::getpid();
    ::setpgid(0, 0);
    // The handlers of the client do not belong here; the keeper itself
    // must survive a reader that went away.
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
        if (signalNumber == SIGKILL || signalNumber == SIGSTOP) continue;
        ::signal(signalNumber, signalNumber == SIGPIPE ? SIG_IGN : SIG_DFL);
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    sigset_t childSignal;
    sigemptyset(&childSignal);
    sigaddset(&childSignal, SIGCHLD);
    ::sigprocmask(SIG_SETMASK, &childSignal, nullptr);
    const int childEvents = ::signalfd(-1, &childSignal, SFD_CLOEXEC | SFD_NONBLOCK);
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    int execPipe[2] = {-1, -1};
    const bool execPipeMade = ::pipe2(execPipe, O_CLOEXEC) == 0;
    const int kept[] = {plan.outputWrite, plan.statusWrite, plan.controlRead, childEvents, devNull, execPipe[0],
                        execPipe[1]};
    closeOtherDescriptors(kept, static_cast<int>(sizeof kept / sizeof kept[0]));

    int execError = 0;
    pid_t command = -1;
    if (childEvents < 0 || devNull < 0 || !execPipeMade) {
        execError = errno != 0 ? errno : EMFILE;
    } else {
        command = ::fork();
        if (command == 0) runCommand(plan, devNull, execPipe[1]);
        if (command < 0) execError = errno;
    }
    if (execPipe[1] >= 0) ::close(execPipe[1]);
    ::close(plan.outputWrite);
    if (command > 0 && execPipe[0] >= 0) {
        int reported = 0;
        if (readAll(execPipe[0], &reported, sizeof reported)) execError = reported;
    }
    const int started[2] = {command > 0 ? static_cast<int>(command) : 0, execError};
    writeAll(plan.statusWrite, started, sizeof started);
    if (execError != 0) endJob(self);

    bool commandReported = false;
    for (;;) {
        struct pollfd events[2] = {{childEvents, POLLIN, 0}, {plan.controlRead, POLLIN, 0}};
        if (::poll(events, 2, -1) < 0) {
            if (errno == EINTR) continue;
            endJob(self);
        }
        if (events[0].revents != 0) {
            struct signalfd_siginfo info;
            while (::read(childEvents, &info, sizeof info) > 0) {
            }
            collectChildren(command, commandReported, plan.statusWrite);
        }
        // Anything on the control pipe - normally its end - closes the job.
        if (events[1].revents != 0) endJob(self);
    }
}

void closeDescriptor(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Decodes a wait status into the exit code of a command.
std::uint32_t exitCodeOf(int status) {
    if (WIFEXITED(status)) return static_cast<std::uint32_t>(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return 128u + static_cast<std::uint32_t>(WTERMSIG(status));
    return static_cast<std::uint32_t>(status);
}

} // namespace

bool CommandProcess::startCommand(const std::string& logName, const std::string& command,
                                  const std::vector<std::string>& arguments, int& readPipe, std::string& errorText) {
    readPipe = -1;
    processInformation_ = CommandProcessInformation();
    job_ = CommandJob();
    startError_ = 0;

    // Everything the keeper uses is made before the fork.
    std::vector<std::string> all{command};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : all) argv.push_back(&argument[0]);
    argv.push_back(nullptr);

    int outputPipe[2];
    if (::pipe2(outputPipe, O_CLOEXEC) != 0) {
        startError_ = errno;
        vhCritical("Can't create pipe " + errnoText(errno));
        errorText = logName + ": Could not create clield output pipe";
        return false;
    }
    int statusPipe[2];
    int controlPipe[2];
    if (::pipe2(statusPipe, O_CLOEXEC) != 0) {
        const int error = startError_ = errno;
        ::close(outputPipe[0]);
        ::close(outputPipe[1]);
        errorText = logName + ":  Could not create job object, " + errnoText(error);
        return false;
    }
    if (::pipe2(controlPipe, O_CLOEXEC) != 0) {
        const int error = startError_ = errno;
        for (int fd : {outputPipe[0], outputPipe[1], statusPipe[0], statusPipe[1]}) ::close(fd);
        errorText = logName + ":  Could not create job object, " + errnoText(error);
        return false;
    }
    const KeeperPlan plan{command.c_str(), argv.data(), environ, outputPipe[1], statusPipe[1], controlPipe[0],
                          captureErrorOutput_};
    const pid_t keeper = ::fork();
    if (keeper == 0) runKeeper(plan);
    const int forkError = errno;
    ::close(outputPipe[1]);
    ::close(statusPipe[1]);
    ::close(controlPipe[0]);
    if (keeper < 0) {
        startError_ = forkError;
        for (int fd : {outputPipe[0], statusPipe[0], controlPipe[1]}) ::close(fd);
        errorText = logName + ":  Could not create job object, " + errnoText(forkError);
        return false;
    }
    job_.controlHandle = controlPipe[1];
    job_.keeperId = static_cast<std::uint32_t>(keeper);
    processInformation_.processHandle = statusPipe[0];
    readPipe = outputPipe[0];

    int started[2] = {0, 0};
    if (!readAll(statusPipe[0], started, sizeof started)) started[1] = ECHILD;
    if (started[1] != 0) {
        startError_ = started[1];
        errorText = logName + ": Stream command failed, error " + errnoText(started[1]);
        ::close(readPipe);
        readPipe = -1;
        return false;
    }
    processInformation_.processId = static_cast<std::uint32_t>(started[0]);
    return true;
}

FILE* CommandProcess::runCommandStream(const std::string& logName, const std::string& command,
                                       const std::vector<std::string>& arguments) {
    terminate();
    exitCodeKnown_ = false;
    exitCode_ = 0;
    output_.clear();
    int readPipe = -1;
    std::string errorText;
    if (!startCommand(logName, command, arguments, readPipe, errorText)) {
        vhError(logName + ": Failed to execute '" + command + "' " + errorText);
        return nullptr;
    }
    outputStream_ = ::fdopen(readPipe, "rb");
    if (outputStream_ == nullptr) {
        startError_ = errno;
        vhCritical(logName + ": Can't execute _fdopen " + errnoText(errno));
        ::close(readPipe);
        return nullptr;
    }
    return outputStream_;
}

bool CommandProcess::collectExit(int milliseconds) {
    if (exitCodeKnown_) return true;
    if (processInformation_.processHandle < 0) return false;
    struct pollfd event = {processInformation_.processHandle, POLLIN, 0};
    int ready;
    while ((ready = ::poll(&event, 1, milliseconds)) < 0 && errno == EINTR) {
    }
    if (ready <= 0) return false;
    int status = 0;
    if (readAll(processInformation_.processHandle, &status, sizeof status)) {
        exitCode_ = exitCodeOf(status);
        exitCodeKnown_ = true;
    } else {
        // The keeper went away without a report: the command is gone too.
        closeDescriptor(processInformation_.processHandle);
    }
    return true;
}

bool CommandProcess::waitForExit(int milliseconds) {
    if (milliseconds < 0) milliseconds = -1;
    return collectExit(milliseconds);
}

bool CommandProcess::waitReadingOutput(int milliseconds) {
    const int output = outputStream_ != nullptr ? ::fileno(outputStream_) : -1;
    const std::int64_t deadline = monotonicMillis() + milliseconds;
    bool outputOpen = output >= 0;
    char buffer[65536];
    auto readSome = [&]() {
        const ssize_t n = ::read(output, buffer, sizeof buffer);
        if (n > 0) {
            const std::size_t room = keptOutputLimit > output_.size() ? keptOutputLimit - output_.size() : 0;
            output_.append(buffer, std::min(room, static_cast<std::size_t>(n)));
        } else if (n == 0 || errno != EINTR) {
            outputOpen = false;
        }
    };
    for (;;) {
        if (collectExit(0)) break;
        const std::int64_t left = deadline - monotonicMillis();
        if (left <= 0) return false;
        struct pollfd events[2] = {{processInformation_.processHandle, POLLIN, 0}, {outputOpen ? output : -1, POLLIN, 0}};
        if (::poll(events, 2, static_cast<int>(left)) < 0 && errno != EINTR) return false;
        if (outputOpen && events[1].revents != 0) readSome();
    }
    // What the command wrote before it ended is in the pipe already; a
    // descendant that keeps the pipe open cannot hold the wait.
    while (outputOpen) {
        struct pollfd event = {output, POLLIN, 0};
        if (::poll(&event, 1, 0) <= 0) break;
        readSome();
    }
    return true;
}

void CommandProcess::terminate() {
    if (processInformation_.processHandle >= 0) {
        collectExit(0);
        closeDescriptor(processInformation_.processHandle);
    }
    processInformation_.processId = 0;
    if (outputStream_ != nullptr) {
        ::fclose(outputStream_);
        outputStream_ = nullptr;
    }
    if (job_.keeperId != 0) {
        // Closing the control pipe ends the command and every process of
        // its job; the keeper then ends itself.
        closeDescriptor(job_.controlHandle);
        const pid_t keeper = static_cast<pid_t>(job_.keeperId);
        int status = 0;
        pid_t result = 0;
        for (int i = 0; i < 3000 && (result = ::waitpid(keeper, &status, WNOHANG)) == 0; ++i) sleepMillisecond();
        if (result == 0) {
            ::kill(keeper, SIGKILL);
            while (::waitpid(keeper, &status, 0) < 0 && errno == EINTR) {
            }
        }
        job_.keeperId = 0;
    }
    closeDescriptor(job_.controlHandle);
}
