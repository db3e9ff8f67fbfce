#include "ProcessTestSupport.h"

#include <Poco/File.h>
#include <Poco/Path.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <sstream>
#include <thread>

namespace {

bool readStat(pid_t pid, char& state, pid_t& parent) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(file, line)) return false;
    const std::string::size_type close = line.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream fields(line.substr(close + 1));
    long parentValue = 0;
    if (!(fields >> state >> parentValue)) return false;
    parent = static_cast<pid_t>(parentValue);
    return true;
}

} // namespace

bool processAlive(pid_t pid) {
    char state = 0;
    pid_t parent = 0;
    return readStat(pid, state, parent) && state != 'Z' && state != 'X';
}

bool waitUntilGone(pid_t pid, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (processAlive(pid)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::vector<pid_t> childrenOf(pid_t parentId) {
    std::vector<pid_t> children;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return children;
    while (const dirent* entry = ::readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        char state = 0;
        pid_t parent = 0;
        if (pid > 0 && readStat(pid, state, parent) && parent == parentId) children.push_back(pid);
    }
    ::closedir(proc);
    return children;
}

NamedSleep::NamedSleep(const std::string& tag) {
    std::string pattern = Poco::Path::temp() + "qdk-test-XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("cannot make a temporary directory");
    directory_ = pattern;
    name_ = (tag + std::to_string(::getpid())).substr(0, 15);
    path_ = directory_ + "/" + name_;
    Poco::File("/bin/sleep").copyTo(path_);
    Poco::File(path_).setExecutable(true);
    // Others may run it too (the tests that drop to another user).
    ::chmod(directory_.c_str(), 0755);
    ::chmod(path_.c_str(), 0755);
}

NamedSleep::~NamedSleep() {
    try {
        Poco::File(directory_).remove(true);
    } catch (...) {
    }
}
