// The service is the systemd unit vhproxy.service in /etc/systemd/system,
// of type notify (active once the daemon listens), running this program
// with --service as root. "manual" leaves it disabled (started on request
// only), "auto" enables it for the boot target. The unit is loaded with
// systemctl daemon-reload. Removal deletes the unit (and its link from the
// boot target) and the polkit rule that the client's installer added for
// it, and reloads.
#include "ServiceRegistration.h"

#include "CommandProcess.h"
#include "SystemPaths.h"

#include "Utilities.h"

#include <Poco/File.h>
#include <Poco/Logger.h>
#include <Poco/Path.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

namespace {

const std::string serviceName = "vhproxy";
constexpr int systemctlWaitMs = 10000;

Poco::Logger& logger() { return Poco::Logger::get("vhproxy"); }

// One word of an ExecStart line: quoted when it holds anything but plain
// path characters; "%" and "$" escaped so that systemd takes them as they are.
std::string unitWord(const std::string& word) {
    std::string escaped;
    bool plain = !word.empty();
    for (const char c : word) {
        if (c == '%') {
            escaped += "%%";
        } else if (c == '$') {
            escaped += "$$";
        } else if (c == '\\' || c == '"') {
            escaped += '\\';
            escaped += c;
        } else {
            escaped += c;
        }
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                          std::strchr("/._-+=:,@", c) != nullptr;
        if (!safe) plain = false;
    }
    return plain ? escaped : "\"" + escaped + "\"";
}

// A one-line value: line ends would start a new key.
std::string oneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

bool runSystemctl(const std::vector<std::string>& arguments) {
    CommandProcess command;
    command.setCaptureErrorOutput(true);
    if (!command.runCommandWait("registerService", systemctlProgram(), arguments, true, systemctlWaitMs)) {
        logger().error("Can't run " + systemctlProgram());
        return false;
    }
    if (command.exitCodeKnown() && command.exitCode() == 0) return true;
    std::string line = "systemctl";
    for (const std::string& argument : arguments) line += " " + argument;
    logger().error(line + " failed" +
                   (command.exitCodeKnown() ? " with exit code " + std::to_string(command.exitCode()) : ", timed out") +
                   (command.output().empty() ? "" : ": " + command.output()));
    return false;
}

// Writes the file whole or not at all (a temporary file renamed over it).
bool writeFileAtomically(const std::string& path, const std::string& content, std::string& error) {
    const std::string temporary = path + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    const bool written = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()) &&
                         ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    const int writeError = errno;
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = std::strerror(written ? errno : writeError);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool removeFile(const std::string& path) {
    if (::unlink(path.c_str()) == 0 || errno == ENOENT) return true;
    logger().error("Can't remove " + path + ": " + std::strerror(errno));
    return false;
}

} // namespace

int registerService(const RegistrationOptions& options) {
    if (options.startup != "manual" && options.startup != "auto") {
        logger().error("Unknown start-up type '" + options.startup + "' (manual or auto)");
        return 2;
    }
    const std::string program = runningProgramPath();
    if (program.empty()) {
        logger().error("Can't find this program's path");
        return 1;
    }
    std::string execStart = unitWord(program) + " --service";
    if (!options.allowGroup.empty()) execStart += " " + unitWord("--allowGroup=" + options.allowGroup);

    std::string unit = "# Written by \"vhproxy --registerService\"; removed by \"vhproxy --unregisterService\".\n";
    if (!options.description.empty()) unit += "# " + oneLine(options.description) + "\n";
    unit += "[Unit]\n"
            "Description=" + oneLine(options.displayName) + "\n"
            "\n"
            "[Service]\n"
            "Type=notify\n"
            "ExecStart=" + execStart + "\n"
            "TimeoutStartSec=10\n"
            "TimeoutStopSec=10\n";
    if (options.startup == "auto")
        unit += "\n"
                "[Install]\n"
                "WantedBy=multi-user.target\n";

    const std::string path = serviceUnitPath(serviceName);
    std::string error;
    try {
        Poco::File(Poco::Path(path).parent()).createDirectories();
    } catch (const Poco::Exception& e) {
        error = e.displayText();
    }
    if (!error.empty() || !writeFileAtomically(path, unit, error)) {
        logger().error("Can't write " + path + ": " + error);
        return 1;
    }
    logger().information("Registered the service " + serviceUnitName(serviceName) + " (" + options.startup +
                         " start) in " + path);
    bool loaded = runSystemctl({"daemon-reload"});
    if (options.startup == "auto") loaded = runSystemctl({"enable", serviceUnitName(serviceName)}) && loaded;
    return loaded ? 0 : 1;
}

int unregisterService() {
    // The files go first: the client gives this run about a second, and
    // what counts is that the service is gone. Disabling is removing the
    // boot target's link to the unit, as systemctl disable would.
    const std::string path = serviceUnitPath(serviceName);
    const bool removed = removeFile(systemPath("/etc/systemd/system/multi-user.target.wants/" + serviceUnitName(serviceName))) &&
                         removeFile(path) && removeFile(serviceAccessRulePath(serviceName));
    if (removed) logger().information("Removed the service " + serviceUnitName(serviceName));
    const bool reloaded = runSystemctl({"daemon-reload"});
    return removed && reloaded ? 0 : 1;
}
