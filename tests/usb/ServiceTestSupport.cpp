#include "ServiceTestSupport.h"

#include "LinkTestSupport.h"

#include <Poco/DirectoryIterator.h>
#include <Poco/Exception.h>
#include <Poco/File.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

RootOwnedFolder::RootOwnedFolder() {
    char name[] = "/run/qdk-programs-XXXXXX";
    if (::mkdtemp(name) == nullptr) throw std::runtime_error(std::string("can't make a folder in /run: ") + std::strerror(errno));
    path_ = std::string(name) + "/";
    ::chmod(name, 0755);
    struct stat status {};
    for (const char* folder : {"/", "/run", static_cast<const char*>(name)}) {
        if (::stat(folder, &status) != 0 || status.st_uid != 0 || (status.st_mode & 022) != 0)
            throw std::runtime_error(std::string(folder) + " is not a folder that root alone may write");
    }
}

RootOwnedFolder::~RootOwnedFolder() {
    try {
        Poco::File(path_).remove(true);
    } catch (const Poco::Exception&) {
        // Gone already.
    }
}

std::string RootOwnedFolder::install(const std::string& program, const std::string& name) const {
    Poco::File(program).copyTo(path_ + name);
    ::chmod((path_ + name).c_str(), 0755);
    return path_ + name;
}

ServiceRoot::ServiceRoot() {
    programs_.install(VHPROXY_PROGRAM, "vhproxy");
    ::chmod(dir_.path().c_str(), 0755);
    for (const char* folder : {"/usr/bin", "/etc/systemd/system", "/etc/polkit-1/rules.d", "/run", "/var/log"})
        Poco::File(path(folder)).createDirectories();
    for (const char* folder : {"/usr", "/usr/bin", "/etc", "/etc/systemd", "/etc/systemd/system", "/etc/polkit-1",
                               "/run", "/var"})
        ::chmod(path(folder).c_str(), 0755);
    ::chmod(path("/var/log").c_str(), 01777); // the stand-ins log there for every user
    if (::symlink(SYSTEMCTL_DOUBLE, path("/usr/bin/systemctl").c_str()) != 0 ||
        ::symlink(testSourcePath("usb/pkexec_double.sh").c_str(), path("/usr/bin/pkexec").c_str()) != 0)
        throw std::runtime_error("can't link the stand-ins");
    ::setenv("QDK_TEST_SYSTEM_ROOT", dir_.path().c_str(), 1);
    FILE* output = manager_.runCommandStream(
        "test", debianPython(), {testSourcePath("usb/service_manager.py"), "manager", dir_.path()});
    char line[64] = {};
    if (output == nullptr || std::fgets(line, sizeof line, output) == nullptr || std::string(line) != "ready\n")
        throw std::runtime_error("the service manager stand-in did not start");
}

ServiceRoot::~ServiceRoot() {
    ::kill(static_cast<pid_t>(manager_.processId()), SIGTERM);
    manager_.waitForExit(20000);
    manager_.terminate();
    ::unsetenv("QDK_TEST_SYSTEM_ROOT");
    for (Poco::DirectoryIterator it(path("/var/log")), end; it != end; ++it) {
        if (it.name().size() < 4 || it.name().compare(it.name().size() - 4, 4, ".out") != 0) continue;
        const std::string text = readTextFile(it->path());
        if (text.find("Sanitizer") != std::string::npos || text.find("runtime error") != std::string::npos)
            ADD_FAILURE() << it.name() << ": " << text;
    }
}

std::vector<std::string> ServiceRoot::systemctlCalls() const {
    return linesOf(readTextFile(path("/var/log/systemctl.log")));
}

int ServiceRoot::systemctlCallCount(const std::string& fragment) const {
    const std::vector<std::string> calls = systemctlCalls();
    return static_cast<int>(std::count_if(calls.begin(), calls.end(), [&fragment](const std::string& call) {
        return call.find(fragment) != std::string::npos;
    }));
}

void ServiceRoot::clearSystemctlCalls() { writeTextFile(path("/var/log/systemctl.log"), ""); }

std::vector<std::string> ServiceRoot::launcherCalls() const { return linesOf(readTextFile(path("/var/log/pkexec.log"))); }

void ServiceRoot::setLauncherExit(int code) {
    writeTextFile(path("/etc/pkexec-exit"), std::to_string(code));
    ::chmod(path("/etc/pkexec-exit").c_str(), 0644);
}

void ServiceRoot::registerService(const std::string& program) {
    int code = -1;
    const std::string output =
        runToEnd({program.empty() ? daemonProgram() : program, "--registerService", "--startup=manual", "--displayName=VHProxy service",
                  "--description=VirtualHere support service for Quarrydesk Client"},
                 &code);
    if (code != 0) throw std::runtime_error("registration failed: " + output);
}
