// vhproxy: the helper daemon of the Quarrydesk Client's USB forwarding.
//
//   vhproxy --service [--allowGroup=GROUP] [--usbServerConfig=FILE] [--usbServerPort=N]
//           [--devices=FILE] [--logFile=FILE]
//   vhproxy --registerService [--startup=manual|auto] [--displayName=TEXT]
//           [--description=TEXT] [--allowGroup=GROUP] [--usbServerPort=N]
//   vhproxy --unregisterService
//   vhproxy --version | --help
//
// See README.md beside this file.
#include "DaemonSignals.h"
#include "ServiceRegistration.h"
#include "VHProxyDaemon.h"
#include "VHServerConfig.h"

#include "SystemPaths.h"

#include <Poco/AutoPtr.h>
#include <Poco/ConsoleChannel.h>
#include <Poco/FileChannel.h>
#include <Poco/FormattingChannel.h>
#include <Poco/NumberParser.h>
#include <Poco/Logger.h>
#include <Poco/PatternFormatter.h>
#include <Poco/SplitterChannel.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <string>

namespace {

const char* const usage =
    "Usage: vhproxy --service [--allowGroup=GROUP] [--usbServerConfig=FILE] [--usbServerPort=N]\n"
    "               [--devices=FILE] [--logFile=FILE]\n"
    "       vhproxy --registerService [--startup=manual|auto] [--displayName=TEXT] [--description=TEXT]\n"
    "               [--allowGroup=GROUP] [--usbServerPort=N]\n"
    "       vhproxy --unregisterService\n"
    "       vhproxy --version | --help\n";

// The log file, and standard error as well when it is a terminal or the
// run is one of registration, which reports to whoever ran it; only
// standard error when the file cannot be opened.
void setupLogging(const std::string& file, bool registration) {
    Poco::AutoPtr<Poco::PatternFormatter> formatter(new Poco::PatternFormatter("%Y-%m-%d %H:%M:%S.%i %q [%P] %t"));
    formatter->setProperty("times", "local");
    Poco::AutoPtr<Poco::SplitterChannel> splitter(new Poco::SplitterChannel);
    const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    const bool fileUsable = fd >= 0;
    if (fileUsable) {
        ::close(fd);
        Poco::AutoPtr<Poco::FileChannel> channel(new Poco::FileChannel(file));
        channel->setProperty("rotation", "4 M");
        channel->setProperty("archive", "number");
        channel->setProperty("purgeCount", "3");
        splitter->addChannel(new Poco::FormattingChannel(formatter, channel));
    }
    if (registration) {
        splitter->addChannel(new Poco::FormattingChannel(new Poco::PatternFormatter("vhproxy: %t"),
                                                         new Poco::ConsoleChannel(std::cerr)));
    } else if (!fileUsable || ::isatty(STDERR_FILENO)) {
        splitter->addChannel(new Poco::FormattingChannel(formatter, new Poco::ConsoleChannel(std::cerr)));
    }
    Poco::Logger::root().setChannel(splitter);
    Poco::Logger::root().setLevel("information");
    if (!fileUsable) Poco::Logger::get("vhproxy").warning("Can't open the log file " + file + ", logging to stderr");
}

// The default log file, in the log folder that the service manager makes
// for the service (and this run makes when it is not there).
std::string defaultLogFile() {
    const std::string folder = systemPath("/var/log/vhproxy");
    ::mkdir(folder.c_str(), 0755);
    return folder + "/vhproxy.log";
}

} // namespace

int main(int argc, char** argv) {
    blockTerminationSignals();

    std::string mode;
    std::map<std::string, std::string> values;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const std::string::size_type equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        if (name == "--service" || name == "--registerService" || name == "--unregisterService" ||
            name == "--version" || name == "--help") {
            if (!mode.empty() || equals != std::string::npos) {
                std::cerr << usage;
                return 2;
            }
            mode = name;
        } else if ((name == "--startup" || name == "--displayName" || name == "--description" ||
                    name == "--allowGroup" || name == "--devices" || name == "--logFile" || name == "--debug" ||
                    name == "--usbServerConfig" || name == "--usbServerPort") &&
                   equals != std::string::npos) {
            values[name] = argument.substr(equals + 1);
        } else {
            std::cerr << "Unknown argument '" << argument << "'\n" << usage;
            return 2;
        }
    }
    if (mode == "--version") {
        std::cout << "vhproxy " << VHProxyDaemon::version << "\n";
        return 0;
    }
    if (mode.empty() || mode == "--help") {
        std::cout << usage;
        return mode.empty() ? 2 : 0;
    }

    // The port of the USB server that the service asks (0: none given).
    int usbServerPort = 0;
    if (values.count("--usbServerPort") &&
        (!Poco::NumberParser::tryParse(values["--usbServerPort"], usbServerPort) || usbServerPort < 1 ||
         usbServerPort > 65535)) {
        std::cerr << "--usbServerPort takes a port number from 1 to 65535\n" << usage;
        return 2;
    }

    const std::string logFile = values.count("--logFile") ? values["--logFile"] : defaultLogFile();
    setupLogging(logFile, mode == "--registerService" || mode == "--unregisterService");
    if (values["--debug"] == "true") Poco::Logger::root().setLevel("debug");
    Poco::Logger& logger = Poco::Logger::get("vhproxy");

    if (mode == "--registerService") {
        RegistrationOptions options;
        if (values.count("--startup")) options.startup = values["--startup"];
        if (values.count("--displayName")) options.displayName = values["--displayName"];
        options.description = values["--description"];
        options.allowGroup = values["--allowGroup"];
        options.usbServerPort = usbServerPort;
        return registerService(options);
    }
    if (mode == "--unregisterService") return unregisterService();

    DaemonOptions options;
    options.asService = true;
    options.devicesPath = values["--devices"];
    // The USB server's port: the one given, else the one of a given
    // configuration file, else the client's default.
    options.usbServerConfig = values["--usbServerConfig"];
    options.usbServerPort = usbServerPort;
    if (options.usbServerPort == 0 && options.usbServerConfig.empty())
        options.usbServerPort = VHServerConfig::defaultPort;
    if (values.count("--allowGroup")) options.allowGroup = values["--allowGroup"];
    VHProxyDaemon daemon(options);
    std::string error;
    if (!daemon.start(error)) {
        logger.critical(error);
        std::cerr << error << "\n";
        return 1;
    }
    logger.information("Answering root and the group '" + options.allowGroup + "'");
    notifyServiceReady();
    waitForTerminationRequest();
    notifyServiceStopping();
    logger.information("Stopping");
    daemon.stop();
    return 0;
}
