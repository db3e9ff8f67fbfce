// qdvhwin64: this machine's USB server, which exports the local USB devices
// to the remote machine. The USB module starts it; see README.md for its
// options, its configuration file and its line protocol.
#include "Logging.h"
#include "UsbServer.h"
#include "UsbServerDevices.h"
#include "VHServerConfig.h"

#include <Poco/AutoPtr.h>
#include <Poco/ConsoleChannel.h>
#include <Poco/StreamChannel.h>
#include <Poco/Environment.h>
#include <Poco/FileChannel.h>
#include <Poco/FormattingChannel.h>
#include <Poco/Logger.h>
#include <Poco/Path.h>
#include <Poco/PatternFormatter.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#include <iostream>
#include <pthread.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void usage() {
    std::fprintf(stderr,
                 "usage: qdvhwin64 [--config FILE] [--log FILE] [--port N] [--devices FILE]\n"
                 "                 [--system-root DIR] [--name NAME]\n");
}

void setUpLogging(const std::string& logFile) {
    Poco::AutoPtr<Poco::Channel> target;
    // A log file that cannot be opened leaves the log on standard error.
    const int fd = logFile.empty() ? -1 : ::open(logFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    const int openError = errno;
    if (fd >= 0) ::close(fd);
    if (fd < 0) {
        target = new Poco::StreamChannel(std::cerr);
    } else {
        Poco::AutoPtr<Poco::FileChannel> file = new Poco::FileChannel(logFile);
        file->setProperty("rotation", "4 M");
        file->setProperty("archive", "number");
        file->setProperty("purgeCount", "2");
        target = file;
    }
    Poco::AutoPtr<Poco::PatternFormatter> pattern = new Poco::PatternFormatter("%Y-%m-%d %H:%M:%S.%i %q: %t");
    pattern->setProperty("times", "local");
    Poco::AutoPtr<Poco::FormattingChannel> formatting = new Poco::FormattingChannel(pattern, target);
    Poco::Logger::root().setChannel(formatting);
    Poco::Logger::root().setLevel("information");
    createClientLogger();
    if (!logFile.empty() && fd < 0)
        logWarning("USB server: can't open the log file " + logFile + ": " + std::strerror(openError));
}

// A relative path in the configuration file is taken from the file's folder.
std::string besideConfig(const std::string& configPath, const std::string& path) {
    if (path.empty() || path[0] == '/' || configPath.empty()) return path;
    return Poco::Path(configPath).makeAbsolute().parent().append(path).toString();
}

} // namespace

int main(int argc, char** argv) {
    std::string configPath, logFile, fixture, systemRoot, name, port;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help") {
            usage();
            return 0;
        }
        if (i + 1 >= argc) {
            usage();
            return 2;
        }
        const std::string value = argv[++i];
        if (option == "--config") configPath = value;
        else if (option == "--log") logFile = value;
        else if (option == "--port") port = value;
        else if (option == "--devices") fixture = value;
        else if (option == "--system-root") systemRoot = value;
        else if (option == "--name") name = value;
        else {
            usage();
            return 2;
        }
    }

    VHServerConfig config;
    std::string reason;
    if (!configPath.empty() && !config.load(configPath, reason)) {
        std::fprintf(stderr, "qdvhwin64: can't read %s: %s\n", configPath.c_str(), reason.c_str());
        return 1;
    }
    if (!port.empty()) config.set("TCPPort", port);
    if (fixture.empty()) fixture = besideConfig(configPath, config.value("DeviceFixture"));
    if (systemRoot.empty()) systemRoot = config.value("SystemRoot", "/");
    if (name.empty()) name = config.value("ServerName");
    if (name.empty()) name = Poco::Environment::nodeName();

    // Termination requests are taken by the main thread alone.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    setUpLogging(logFile);
    UsbServerDevices devices(fixture, systemRoot);
    UsbServer server(devices, name);
    std::string error;
    if (!server.listen(config.port(), error)) {
        logError("USB server: can't listen on 127.0.0.1:" + std::to_string(config.port()) + ": " + error);
        std::fprintf(stderr, "qdvhwin64: can't listen on 127.0.0.1:%d: %s\n", config.port(), error.c_str());
        return 1;
    }
    // Said before the first request is answered: whoever got an answer
    // finds the line.
    logInformation("USB server '" + name + "' listening on 127.0.0.1:" + std::to_string(config.port()) +
                   (fixture.empty() ? ", devices of " + systemRoot : ", devices from " + fixture));
    std::printf("qdvhwin64: listening on 127.0.0.1:%d\n", config.port());
    std::fflush(stdout);
    if (!server.serve(error)) {
        logError("USB server: can't serve on 127.0.0.1:" + std::to_string(config.port()) + ": " + error);
        std::fprintf(stderr, "qdvhwin64: can't serve on 127.0.0.1:%d: %s\n", config.port(), error.c_str());
        return 1;
    }

    int received = 0;
    sigwait(&stopSignals, &received);
    logInformation("USB server: stopping on signal " + std::to_string(received));
    server.stop();
    return 0;
}
