// libVirtualHereServer: the USB module that the client loads at run time.
// In server mode (vhsInit) it writes the USB server's configuration file and
// starts the USB server program unless one of this user answers on its port
// already; the server runs as a child of the client in a process group of
// its own and ends with it. A listener of another user on the port is not
// spoken to at all: vhsInit fails, and vhsServerRefusal tells why. vhcExec passes a command line to the USB server and hands
// back its answer; "GET CLIENT STATE" gets an XML state of the connection
// to the USB server and its devices. The module logs through the eight
// functions the client gives it.
//
// Test builds: QDK_VH_MODULE_VERSION sets the version text,
// QDK_VH_MODULE_NULL_VERSION makes vhLibraryVersion return null and
// QDK_VH_MODULE_WITHOUT_VHCEXEC leaves vhcExec out.
#include "VHModuleInterface.h"
#include "TcpPeerIdentity.h"
#include "UsbServerClient.h"
#include "VHServerConfig.h"

#include <Poco/Environment.h>
#include <Poco/Exception.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Util/Application.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#ifndef QDK_VH_MODULE_VERSION
#define QDK_VH_MODULE_VERSION "14.0.0"
#endif

#define VH_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr const char* logName = "libVirtualHereServer: ";
constexpr int startWaitMs = 5000;
constexpr int answerWaitMs = 1000;

enum LogLevel { Trace, Debug, Information, Notice, Warning, Error, Critical, Fatal };

std::mutex stateLock;
VHLogFunction logFunctions[8] = {};
int serverPort = VHServerConfig::defaultPort;
pid_t serverProcess = 0;
// Why the last vhsInit would not use the listener on the port ("" if not).
std::string serverRefusal;

void moduleLog(LogLevel level, const std::string& text) {
    VHLogFunction function = nullptr;
    {
        std::lock_guard<std::mutex> guard(stateLock);
        function = logFunctions[level];
    }
    if (function != nullptr) function(logName + text);
}

// A value of the client's settings as the client uses it: the client puts
// the values of the USB server's settings, defaults included, into its
// application configuration under their keys before it calls vhsInit.
// Empty when the host program gives none.
std::string clientSetting(const std::string& key) {
    try {
        Poco::Util::AbstractConfiguration& config = Poco::Util::Application::instance().config();
        if (config.hasProperty(key)) return config.getRawString(key);
    } catch (const Poco::Exception&) {
        // No application object.
    }
    return "";
}

std::string userName(unsigned int userId) {
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* user = nullptr;
    if (::getpwuid_r(static_cast<uid_t>(userId), &entry, buffer.data(), buffer.size(), &user) != 0 || !user)
        return "with no name";
    return user->pw_name;
}

// The USB server of this user: a listener of anyone else (a program that
// took the port first) gets no request, not even STATUS.
bool ownListener(int port, const Poco::Net::StreamSocket& connection, std::string& reason) {
    const std::string endpoint = "127.0.0.1:" + std::to_string(port);
    TcpPeerIdentity listener;
    std::string lookup;
    if (tcpAcceptingPeer(connection, listener, lookup) != TcpPeerLookup::Found) {
        reason = "Can't tell who listens on the USB server port " + endpoint + " (" + lookup + "): not using it";
        return false;
    }
    if (listener.userId != ::geteuid()) {
        reason = "The USB server port " + endpoint + " is held by user " + userName(listener.userId) + " (uid " +
                 std::to_string(listener.userId) + "), not by this user: not using it. USB sharing stays off "
                 "until that program ends or Client.VirtualHere.ServerPort names a free port";
        return false;
    }
    return true;
}

bool askServer(int port, const std::string& request, std::string& reply) {
    std::string reason;
    const auto check = [port](const Poco::Net::StreamSocket& connection, std::string& refusal) {
        return ownListener(port, connection, refusal);
    };
    if (UsbServerClient(port, answerWaitMs, check).request(request, reply, reason)) return true;
    moduleLog(Debug, reason);
    return false;
}

// Whether a listener on the port may be used: true when nothing listens
// there or one of this user does; otherwise false with the reason.
bool portUsable(int port, std::string& reason) {
    Poco::Net::StreamSocket connection;
    try {
        connection.connect(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port)),
                           Poco::Timespan(0, answerWaitMs * 1000));
    } catch (const Poco::Net::ConnectionRefusedException&) {
        return true;
    } catch (const Poco::Exception& e) {
        reason = "Can't reach what listens on the USB server port 127.0.0.1:" + std::to_string(port) + " (" +
                 e.displayText() + "): not using it";
        return false;
    }
    return ownListener(port, connection, reason);
}

bool okReply(const std::string& reply, std::string& rest) { return UsbServerClient::okReply(reply, rest); }

bool serverAnswers(int port, std::string* name = nullptr) {
    std::string reply, rest;
    if (!askServer(port, "STATUS", reply) || !okReply(reply, rest)) return false;
    if (name != nullptr) *name = rest;
    return true;
}

// Starts the server in a process group of its own; it gets SIGTERM when the
// thread that started it (the client's main thread) ends. The port and the
// name go on its command line too, so that it runs as configured also when
// the configuration file could not be written.
pid_t startServer(const std::string& executable, const std::string& configFile, const std::string& logFile,
                  int port, const std::string& name) {
    std::vector<std::string> arguments{executable, "--port", std::to_string(port), "--name", name};
    if (::access(configFile.c_str(), R_OK) == 0) {
        arguments.push_back("--config");
        arguments.push_back(configFile);
    }
    if (!logFile.empty()) {
        arguments.push_back("--log");
        arguments.push_back(logFile);
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child != 0) return child;
    // Child: only async-signal-safe calls until exec.
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(126);
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        ::dup2(null, 0);
        ::dup2(null, 1);
    }
    ::close_range(3, ~0U, 0);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
}

std::string xmlEscaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

// The state of the connection to the USB server as XML.
[[maybe_unused]] std::string clientState(int port) {
    std::string name;
    std::string list;
    std::string reply;
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<state>\n";
    if (serverAnswers(port, &name) && askServer(port, "LIST", reply) && okReply(reply, list)) {
        xml += "  <connection hostname=\"" + xmlEscaped(name) + "\" address=\"127.0.0.1\" port=\"" +
               std::to_string(port) + "\">\n";
        try {
            Poco::JSON::Parser parser;
            Poco::JSON::Array::Ptr devices =
                parser.parse(list).extract<Poco::JSON::Object::Ptr>()->getArray("VHDevList");
            for (std::size_t i = 0; devices && i < devices->size(); ++i) {
                Poco::JSON::Object::Ptr d = devices->getObject(i);
                xml += "    <device address=\"" + xmlEscaped(d->optValue<std::string>("VHDevAddress", "")) +
                       "\" vendor=\"" + std::to_string(d->optValue<int>("VHDevVendorId", 0)) + "\" product=\"" +
                       std::to_string(d->optValue<int>("VHDevProductId", 0)) + "\" state=\"" +
                       std::to_string(d->optValue<int>("VHDevState", 0)) + "\" name=\"" +
                       xmlEscaped(d->optValue<std::string>("VHDevPrettyName", "")) + "\"/>\n";
            }
        } catch (const Poco::Exception& e) {
            moduleLog(Warning, "Unreadable device list from the USB server: " + e.displayText());
        }
        xml += "  </connection>\n";
    }
    return xml + "</state>\n";
}

[[maybe_unused]] char* mallocCopy(const std::string& text) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

} // namespace

VH_EXPORT const char* vhLibraryVersion() {
#ifdef QDK_VH_MODULE_NULL_VERSION
    return nullptr;
#else
    return QDK_VH_MODULE_VERSION;
#endif
}

VH_EXPORT void qorLibLoggerInit(VHLogFunction trace, VHLogFunction debug, VHLogFunction information,
                                VHLogFunction notice, VHLogFunction warning, VHLogFunction error,
                                VHLogFunction critical, VHLogFunction fatal) {
    {
        std::lock_guard<std::mutex> guard(stateLock);
        const VHLogFunction functions[8] = {trace, debug, information, notice, warning, error, critical, fatal};
        std::copy(functions, functions + 8, logFunctions);
    }
    moduleLog(Trace, "Logging initialized");
}

VH_EXPORT bool vhsInit(const char* executable, const char* configFile, const char* logFile) {
    if (executable == nullptr || configFile == nullptr || *executable == '\0' || *configFile == '\0') {
        moduleLog(Error, "vhsInit: executable or configuration file missing");
        return false;
    }
    const std::string log = logFile != nullptr ? logFile : "";

    // The configuration: the client's port and server name, other keys kept.
    // The port is always the client's, whatever an earlier run left in the
    // file: the USB tunnel and the daemon use the same setting (17570 when
    // the host gives none).
    VHServerConfig config;
    std::string reason;
    if (!config.load(configFile, reason)) moduleLog(Warning, std::string("Can't read ") + configFile + ": " + reason);
    config.set("TCPPort", clientSetting("Client.VirtualHere.ServerPort"));
    config.set("TCPPort", std::to_string(config.port()));
    std::string name = clientSetting("Client.VirtualHere.ServerName");
    if (name.empty()) name = config.value("ServerName");
    if (name.empty()) name = Poco::Environment::nodeName();
    config.set("ServerName", name);
    if (!config.save(configFile, reason))
        moduleLog(Warning, std::string("Can't write the USB server configuration ") + configFile + ": " + reason);
    {
        std::lock_guard<std::mutex> guard(stateLock);
        serverPort = config.port();
    }
    moduleLog(Debug, std::string("USB server configuration ") + configFile + ": port " +
                         std::to_string(config.port()) + ", name '" + name + "'");

    std::string refusal;
    const bool usable = portUsable(config.port(), refusal);
    {
        std::lock_guard<std::mutex> guard(stateLock);
        serverRefusal = refusal;
    }
    if (!usable) {
        moduleLog(Error, refusal);
        return false;
    }

    if (serverAnswers(config.port())) {
        moduleLog(Information, "USB server already running on 127.0.0.1:" + std::to_string(config.port()));
        return true;
    }
    const pid_t child = startServer(executable, configFile, log, config.port(), name);
    if (child < 0) {
        moduleLog(Error, std::string("Can't start the USB server ") + executable + ": " + std::strerror(errno));
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(startWaitMs);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(child, &status, WNOHANG) == child) {
            const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            moduleLog(Error, std::string("USB server ") + executable + " ended at start, exit code " +
                                 std::to_string(code) + (log.empty() ? "" : ", see " + log));
            return false;
        }
        if (serverAnswers(config.port())) {
            {
                std::lock_guard<std::mutex> guard(stateLock);
                serverProcess = child;
            }
            moduleLog(Information, std::string("Started USB server ") + executable + " (pid " +
                                       std::to_string(child) + ") on 127.0.0.1:" + std::to_string(config.port()));
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    moduleLog(Error, std::string("USB server ") + executable + " does not answer on 127.0.0.1:" +
                         std::to_string(config.port()));
    return false;
}

// The text stays valid until the calling thread's next call.
VH_EXPORT const char* vhsServerRefusal() {
    static thread_local std::string copy;
    std::lock_guard<std::mutex> guard(stateLock);
    copy = serverRefusal;
    return copy.c_str();
}

VH_EXPORT bool vhcInit(const char* executable, const char* configFile, const char* logFile) {
    (void)configFile;
    (void)logFile;
    const bool usable = executable != nullptr && ::access(executable, X_OK) == 0;
    moduleLog(Debug, std::string("VirtualHere client ") + (executable != nullptr ? executable : "") +
                         (usable ? " found" : " not found"));
    return usable;
}

#ifndef QDK_VH_MODULE_WITHOUT_VHCEXEC
VH_EXPORT int vhcExec(const char* command, char** reply, bool flag) {
    (void)flag;
    if (command == nullptr || std::strpbrk(command, "\r\n") != nullptr) {
        moduleLog(Error, "vhcExec: command refused");
        return 0;
    }
    int port;
    {
        std::lock_guard<std::mutex> guard(stateLock);
        port = serverPort;
    }
    std::string text;
    if (std::strcmp(command, "GET CLIENT STATE") == 0) {
        text = clientState(port);
    } else {
        std::string answer;
        if (!askServer(port, command, answer)) {
            moduleLog(Debug, std::string("vhcExec: no answer to ") + command);
            return 0;
        }
        if (!okReply(answer, text)) {
            moduleLog(Debug, std::string("vhcExec: ") + command + ": " + answer);
            return 0;
        }
    }
    if (reply != nullptr) *reply = mallocCopy(text);
    return 1;
}
#endif

VH_EXPORT bool vhcServiceInstalled() { return false; }

VH_EXPORT bool vhcServiceRunning() { return false; }
