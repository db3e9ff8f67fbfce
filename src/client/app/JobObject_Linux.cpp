// Linux form of the job: the client becomes a child subreaper, so orphaned
// descendants are re-parented to it instead of to init; each child started
// through prepareJobChild leads its own process group and gets SIGKILL when
// the client dies; at exit every child of the client is killed with its
// process group.
#include "JobObject.h"

#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

bool exitHandlerInstalled = false;

// Parent and process group of a process from /proc/<pid>/stat; the command
// name in parentheses may itself hold blanks and parentheses.
bool readParentAndGroup(const std::string& pid, pid_t& parent, pid_t& group) {
    std::ifstream file("/proc/" + pid + "/stat");
    std::string line;
    if (!std::getline(file, line)) return false;
    const std::string::size_type close = line.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream fields(line.substr(close + 1));
    char state = 0;
    long parentValue = 0;
    long groupValue = 0;
    if (!(fields >> state >> parentValue >> groupValue)) return false;
    parent = static_cast<pid_t>(parentValue);
    group = static_cast<pid_t>(groupValue);
    return true;
}

} // namespace

JobObject createJobObject() {
    JobObject job;
    job.valid = true;
    return job;
}

bool setJobObjectKillOnClose(JobObject& job) {
    if (!job.valid) return false;
    job.killOnJobClose = true;
    return true;
}

bool assignProcessToJobObject(JobObject& job) {
    if (!job.valid || ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) return false;
    if (job.killOnJobClose && !exitHandlerInstalled) {
        exitHandlerInstalled = true;
        std::atexit(terminateJobProcesses);
    }
    return true;
}

void prepareJobChild() {
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
}

void terminateJobProcesses() {
    const pid_t self = ::getpid();
    const pid_t ownGroup = ::getpgrp();
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return;
    std::vector<pid_t> ended;
    while (const dirent* entry = ::readdir(proc)) {
        const std::string name = entry->d_name;
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        pid_t parent = 0;
        pid_t group = 0;
        if (!readParentAndGroup(name, parent, group) || parent != self) continue;
        const pid_t child = static_cast<pid_t>(std::strtol(name.c_str(), nullptr, 10));
        if (group != ownGroup && group > 1) ::kill(-group, SIGKILL);
        ::kill(child, SIGKILL);
        ended.push_back(child);
    }
    ::closedir(proc);
    // Collect them, so that no zombie is left behind; a process stuck in
    // the kernel must not hold up the exit for long.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!ended.empty() && std::chrono::steady_clock::now() < deadline) {
        for (auto it = ended.begin(); it != ended.end();) {
            const pid_t result = ::waitpid(*it, nullptr, WNOHANG);
            it = (result == 0) ? it + 1 : ended.erase(it);
        }
        if (!ended.empty()) ::usleep(5000);
    }
}
