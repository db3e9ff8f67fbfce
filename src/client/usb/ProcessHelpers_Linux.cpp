// Linux side of the process helpers: the process table is /proc, a
// process's executable name is the base name of its /proc/<pid>/exe link
// (its command name where the link may not be read, as for other users'
// processes), elevation is an effective user id of 0, and a detached start
// is a process of its own session that this process does not wait for.
#include "ProcessHelpers.h"

#include "VHLog.h"

#include "Utilities.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

extern char** environ;

namespace {

// The kernel keeps at most 15 characters of a command name.
constexpr std::string::size_type commandNameLength = 15;

std::string errnoText() { return windowsErrorText(static_cast<unsigned int>(errno)); }

// The process's state letter from /proc/<pid>/stat ('\0' when unreadable).
char processState(const std::string& pid) {
    std::ifstream file("/proc/" + pid + "/stat");
    std::string line;
    if (!std::getline(file, line)) return '\0';
    const std::string::size_type close = line.rfind(')');
    if (close == std::string::npos || close + 2 >= line.size()) return '\0';
    return line[close + 2];
}

// Whether the process's executable is named name. Kernel threads have no
// executable and never match.
bool executableNamed(const std::string& pid, const std::string& name) {
    char target[PATH_MAX + 1];
    const ssize_t length = ::readlink(("/proc/" + pid + "/exe").c_str(), target, PATH_MAX);
    if (length > 0) {
        std::string path(target, static_cast<std::size_t>(length));
        // An executable replaced on disk while it runs.
        const std::string deleted = " (deleted)";
        if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
            path.resize(path.size() - deleted.size());
        return path.substr(path.rfind('/') + 1) == name;
    }
    if (errno != EACCES && errno != EPERM) return false;
    // Another user's process: its command name is all we may read.
    std::ifstream file("/proc/" + pid + "/comm");
    std::string command;
    if (!std::getline(file, command)) return false;
    return command == name.substr(0, commandNameLength);
}

bool isDecimal(const char* text) {
    if (*text == '\0') return false;
    for (; *text != '\0'; ++text)
        if (*text < '0' || *text > '9') return false;
    return true;
}

} // namespace

std::uint32_t findProcessId(const std::string& name) {
    if (name.empty()) return 0;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return 0;
    const std::string self = std::to_string(::getpid());
    std::uint32_t found = 0;
    while (const dirent* entry = ::readdir(proc)) {
        if (!isDecimal(entry->d_name) || self == entry->d_name) continue;
        const std::string pid = entry->d_name;
        if (!executableNamed(pid, name)) continue;
        const char state = processState(pid);
        if (state == '\0' || state == 'Z' || state == 'X') continue;
        found = static_cast<std::uint32_t>(std::strtoul(pid.c_str(), nullptr, 10));
        break;
    }
    ::closedir(proc);
    return found;
}

bool isProcessElevated() {
    static std::once_flag decided;
    static bool elevated = false;
    std::call_once(decided, [] {
        elevated = ::geteuid() == 0;
        vhDebug(elevated ? "Process is elevated" : "Process is not elevated");
    });
    return elevated;
}

void shellExecuteCommand(const std::string& file, const std::vector<std::string>& arguments) {
    char directory[4096];
    if (::getcwd(directory, sizeof directory) == nullptr) {
        vhError("Error getting the current directory, err " + errnoText());
        vhError("Can't start '" + file + "'");
        return;
    }
    std::vector<std::string> all{file};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : all) argv.push_back(&argument[0]);
    argv.push_back(nullptr);

    // A session of its own, no terminal input, the default signal handling.
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    ::posix_spawnattr_init(&attributes);
    ::posix_spawn_file_actions_init(&actions);
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGHUP);
    ::posix_spawnattr_setsigmask(&attributes, &none);
    ::posix_spawnattr_setsigdefault(&attributes, &defaults);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

    pid_t child = 0;
    const int result = ::posix_spawn(&child, file.c_str(), &actions, &attributes, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
    if (result != 0) {
        vhError("Error during ShellExecute " + windowsErrorText(static_cast<unsigned int>(result)));
        vhError("Can't start '" + file + "' in '" + directory + "'");
        return;
    }
    // Not tracked: collected in the background, so that no zombie remains.
    std::thread([child] {
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}
