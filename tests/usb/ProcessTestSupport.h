// Process-table helpers of the USB tests: whether a process lives, the
// children of a process, and a copy of a system program under a name of
// the test's own, so that lookups by executable name find only it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// True when the process exists and has not ended (a zombie has ended).
bool processAlive(pid_t pid);
// Waits up to timeoutMs for the process to end; true when it did.
bool waitUntilGone(pid_t pid, int timeoutMs);
// The ids of the processes whose parent is parent (zombies included).
std::vector<pid_t> childrenOf(pid_t parent);

// A copy of /bin/sleep under a name of at most 15 characters that holds
// this process's id, in a directory of its own, removed by the destructor.
class NamedSleep {
public:
    explicit NamedSleep(const std::string& tag);
    ~NamedSleep();
    NamedSleep(const NamedSleep&) = delete;
    NamedSleep& operator=(const NamedSleep&) = delete;
    const std::string& name() const { return name_; }
    const std::string& path() const { return path_; }

private:
    std::string directory_;
    std::string name_;
    std::string path_;
};
