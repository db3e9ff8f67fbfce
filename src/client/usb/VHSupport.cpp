#include "VHSupport.h"

#include "ClientSettings.h"
#include "FileHelpers.h"
#include "Logging.h"
#include "OwnerLock.h"
#include "ProcessHelpers.h"
#include "RunConfig.h"
#include "VHLog.h"
#include "VHModuleInterface.h"

#include <Poco/AutoPtr.h>
#include <Poco/DOM/DOMParser.h>
#include <Poco/DOM/Document.h>
#include <Poco/DOM/Element.h>
#include <Poco/DOM/NodeIterator.h>
#include <Poco/DOM/NodeFilter.h>
#include <Poco/Exception.h>
#include <Poco/Path.h>

#include <cstdlib>
#include <vector>

std::atomic<bool> vhIntegrationEnabled{false};
std::atomic<int> vhLastError{0};
std::atomic<int> vhProcessState{VHStateUnknown};
const char* const requiredUsbModuleVersion = "14.0.0";

namespace {

const char* const usbModuleBaseName = "libVirtualHereServer";
const char* const moduleNotLoaded = "LIB_NOT_LOADED";

std::atomic<bool> vhSupportInitialized{false};
std::atomic<VHExecFunction> vhcExecEntry{nullptr};

// Guards the texts below and the module object.
OwnerLock textLock;
std::string lastErrorText;
std::string usbModuleVersion = moduleNotLoaded;
std::string serverHostName;
std::string serverConfigCache, serverLogCache, clientConfigCache, clientLogCache;

Poco::SharedLibrary& usbModule() {
    static Poco::SharedLibrary module;
    return module;
}

void debugLine(const std::string& text) {
    if (isDebugEnabled()) logDebug(text);
}

void clearLastError() {
    ScopedOwnerLock guard(textLock);
    vhLastError.store(VHErrNone);
    lastErrorText.clear();
}

void setLastError(int code, const std::string& text) {
    ScopedOwnerLock guard(textLock);
    vhLastError.store(code);
    lastErrorText = text;
}

std::string usbModuleFileName() { return std::string(usbModuleBaseName) + Poco::SharedLibrary::suffix(); }

// The path with ".." resolved and empty segments dropped, in the platform's form.
std::string normalized(const std::string& path) { return Poco::Path(path).toString(); }

// A file of the USB programs in this user's own folder, cached on first use.
std::string cachedPath(std::string& cache, const std::string& name) {
    ScopedOwnerLock guard(textLock);
    if (cache.empty()) cache = Poco::Path(vhUserFileDirectory()).setFileName(name).toString();
    return cache;
}

template <typename Function>
Function moduleSymbol(const char* name) {
    ScopedOwnerLock guard(textLock);
    Poco::SharedLibrary& module = usbModule();
    if (!module.isLoaded() || !module.hasSymbol(name)) {
        logError(std::string("Can't find symbol: ") + name);
        return nullptr;
    }
    return reinterpret_cast<Function>(module.getSymbol(name));
}

std::vector<std::string> versionParts(const std::string& version) {
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    for (;;) {
        const std::string::size_type dot = version.find('.', start);
        parts.push_back(version.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) return parts;
        start = dot + 1;
    }
}

bool initMode(bool client) {
    clearLastError();
    const char* const label = client ? "VHSupport::initVHClient" : "VHSupport::initVHServer";
    if (!vhIntegrationEnabled.load()) {
        logCritical(std::string(label) + ": VirtualHere not enabled");
        return false;
    }
    const VHInitFunction init = moduleSymbol<VHInitFunction>(client ? VHModuleSymbol::ClientInit
                                                                      : VHModuleSymbol::ServerInit);
    if (init == nullptr) return false;
    // The module configures the USB server from these settings, read from
    // the application's configuration: their values as the client uses
    // them, defaults included.
    if (!client) {
        clientVirtualHereServerPort.publish();
        clientVirtualHereServerName.publish();
    }
    const std::string executable = client ? vhClientExecutablePath() : vhServerExecutablePath();
    const std::string config = client ? vhClientConfigPath() : vhServerConfigPath();
    const std::string log = client ? vhClientLogPath() : vhServerLogPath();
    return init(executable.c_str(), config.c_str(), log.c_str());
}

bool serviceQuery(const char* label, const char* symbol) {
    if (!vhIntegrationEnabled.load()) {
        logCritical(std::string(label) + ": VirtualHere not enabled");
        return false;
    }
    const VHServiceQueryFunction query = moduleSymbol<VHServiceQueryFunction>(symbol);
    return query != nullptr && query();
}

} // namespace

std::string vhLastErrorText() {
    ScopedOwnerLock guard(textLock);
    return lastErrorText;
}

std::string vhErrorMessage(int code) {
    static const char* const vhErrorMessages[] = {
        "USB Integration is not enabled",
        "Can't find executable",
        "Error",
        "Can't execute file",
        "Device not found",
        "Device not ready",
        "VH Client not responding",
        "Service process is not elevated",
        "Can't create configuration file",
        "Can't get server host name",
        "Requested function is not implemented",
        "Can't create client configuration file",
        "Can't create server configuration file",
        "USB integration server service is not installed",
        "Can't stop USB integration server service",
        "Can't start USB integration server service",
        "Can't query USB integration server service",
        "",
        "",
        "",
        "Parameter missing",
        "Can't load library",
        "Error (unspecified)",
    };
    if (code < 1 || code > static_cast<int>(std::size(vhErrorMessages))) return "";
    return vhErrorMessages[code - 1];
}

void initVHSupport(bool clientMode) {
    if (vhSupportInitialized.exchange(true)) return;
    clearLastError();
    loadVHSettings();
    if (!vhIntegrationEnabled.load()) {
        setLastError(VHErrNotEnabled, "VirtualHere integration is not enabled");
        debugLine("VHSupport: VirtualHere integration is not enabled");
        return;
    }
    if (!loadUsbModule(clientMode)) {
        vhIntegrationEnabled.store(false);
        setLastError(VHErrNotEnabled, "VirtualHere USB module not found");
        debugLine("VHSupport: VirtualHere USB module not found");
        return;
    }
    // Another user's listener holds the USB server's port: the module does
    // not speak to it, and USB sharing cannot work.
    const std::string refusal = clientMode ? std::string() : usbServerRefusal();
    if (!refusal.empty()) {
        setLastError(VHErrError, refusal);
        logError("VHSupport: " + refusal);
        logError("VHSupport: Disabling VirtualHere integration");
        vhIntegrationEnabled.store(false);
        return;
    }
    if (!checkVHExecutable(clientMode)) {
        const std::string path = clientMode ? vhClientExecutablePath() : vhServerExecutablePath();
        logError(std::string("VHSupport: VirtualHere ") + (clientMode ? "client '" : "server '") + path +
                 "' not executable");
        logError("VHSupport: Disabling VirtualHere integration");
        vhIntegrationEnabled.store(false);
        return;
    }
    if (!clientMode)
        vhProcessState.store(isVHServerRunning() ? VHStateRunning : VHStateStopped);
    else if (VHSupport::isInstalled())
        vhProcessState.store(VHSupport::isRunning() ? VHStateServiceRunning : VHStateServiceStopped);
    else
        vhProcessState.store(isVHClientResponding() ? VHStateRunning : VHStateStopped);
    debugLine(std::string(clientMode ? "VHSupport: VH client installation ok, " : "VHSupport: VH server installation ok, ") +
              vhStateName());
    if (isTraceEnabled()) logTrace("VHSupport: Initialized");
}

void loadVHSettings() {
    clientVirtualHereEnabled.ensureRegistered(2);
    vhIntegrationEnabled.store(clientVirtualHereEnabled.get());
    clientVirtualHereAllowGuestConnections.ensureRegistered(2);
    clientVirtualHereDebugEnabled.ensureRegistered(2);
    clientVirtualHereServerName.ensureRegistered(2);
    clientVirtualHereInstallService.ensureRegistered(2);
    clientVirtualHereCreateServerLog.ensureRegistered(2);
    clientVirtualHereClientPort.ensureRegistered(2);
    clientVirtualHereServerPort.ensureRegistered(2);
}

std::string usbModulePath() {
    const std::string directory = applicationDir();
    const std::string besideBin = normalized(directory + "/../bin/" + usbModuleFileName());
    if (checkFileAttributes(besideBin, FileKind::RegularFile) == FileAttributes::Usable) return besideBin;
    return normalized(directory + "/" + usbModuleFileName());
}

bool loadUsbModule(bool clientMode) {
    {
        ScopedOwnerLock guard(textLock);
        if (usbModule().isLoaded()) return true;
    }
    const std::string path = usbModulePath();
    if (checkFileAttributes(path, FileKind::RegularFile) != FileAttributes::Usable) {
        vhInformation("USB Forwarding disabled.  Server USB Module is required to enable this feature.");
        return false;
    }
    try {
        ScopedOwnerLock guard(textLock);
        usbModule().load(path, Poco::SharedLibrary::SHLIB_LOCAL);
    } catch (const Poco::LibraryLoadException& e) {
        logError("Library load error: " + path + ": " + e.message());
        return false;
    } catch (const Poco::FileNotFoundException&) {
        logError("Can't find library: " + path);
        return false;
    } catch (const Poco::Exception& e) {
        logError("Error loading library: " + path + ": " + e.displayText());
        return false;
    } catch (const std::exception& e) {
        logError("Error loading library: " + path + ": " + e.what());
        return false;
    } catch (...) {
        logError("Can't load library: " + path);
        return false;
    }

    const VHLibraryVersionFunction version = moduleSymbol<VHLibraryVersionFunction>(VHModuleSymbol::LibraryVersion);
    if (version == nullptr) return false;
    const char* text = version();
    if (text == nullptr) {
        // A module that cannot say its version is not used.
        logError("Library without version: " + path);
        return false;
    }
    {
        ScopedOwnerLock guard(textLock);
        usbModuleVersion = text;
    }
    vhInformation("Loaded library: " + path + ", version " + getUsbModuleVersion());

    const QorLibLoggerInitFunction loggerInit = moduleSymbol<QorLibLoggerInitFunction>(VHModuleSymbol::LoggerInit);
    if (loggerInit == nullptr) return false;
    loggerInit(logTrace, logDebug, logInformation, logNotice, logWarning, logError, logCritical, logFatal);

    if (clientMode)
        VHSupport::initVHClient();
    else
        VHSupport::initVHServer();

    const VHExecFunction exec = moduleSymbol<VHExecFunction>(VHModuleSymbol::ClientExec);
    if (exec == nullptr) return false;
    vhcExecEntry.store(exec);
    return true;
}

Poco::SharedLibrary& getUsbModule() { return usbModule(); }

std::string usbServerRefusal() {
    ScopedOwnerLock guard(textLock);
    Poco::SharedLibrary& module = usbModule();
    // A module without the entry point refuses nothing.
    if (!module.isLoaded() || !module.hasSymbol(VHModuleSymbol::ServerRefusal)) return "";
    const char* text = reinterpret_cast<VHServerRefusalFunction>(module.getSymbol(VHModuleSymbol::ServerRefusal))();
    return text != nullptr ? text : "";
}

std::string getUsbModuleVersion() {
    ScopedOwnerLock guard(textLock);
    return usbModuleVersion;
}

bool checkUsbModuleVersion(const std::string& version) {
    const std::vector<std::string> installed = versionParts(version);
    const std::vector<std::string> required = versionParts(requiredUsbModuleVersion);
    if (installed.size() < 3 || required.size() < 3) {
        logError("Can't determine library version, disabling USB support");
        vhIntegrationEnabled.store(false);
        return false;
    }
    if (installed[0] == required[0] && installed[1] == required[1]) return vhIntegrationEnabled.load();
    logError("Quarrydesk Client USB Module version mismatch");
    logError("   Installed version:  " + installed[0] + "." + installed[1]);
    logError("   Required version:   " + required[0] + "." + required[1]);
    logError("USB support disabled");
    vhIntegrationEnabled.store(false);
    return false;
}

std::string vhServerExecutablePath() { return applicationDir() + vhServerProgramName(); }

std::string vhClientExecutablePath() {
    const std::string besideBin = normalized(applicationDir() + "../bin/" + vhClientProgramName());
    if (checkFileAttributes(besideBin, FileKind::ExecutableFile) == FileAttributes::Usable) return besideBin;
    return normalized(applicationDir() + vhClientProgramName());
}

std::string vhServerConfigPath() { return cachedPath(serverConfigCache, "vhserver.cnf"); }

std::string vhServerLogPath() {
    if (!clientVirtualHereCreateServerLog.get()) return "";
    return cachedPath(serverLogCache, "vhserver.log");
}

std::string vhClientConfigPath() { return cachedPath(clientConfigCache, "vhclient.cnf"); }

std::string vhClientLogPath() {
    if (!clientVirtualHereCreateClientLog.get()) return "";
    return cachedPath(clientLogCache, "vhclient.log");
}

bool checkVHExecutable(bool client) {
    clearLastError();
    const std::string path = client ? vhClientExecutablePath() : vhServerExecutablePath();
    if (checkFileAttributes(path, FileKind::ExecutableFile) == FileAttributes::Usable) return true;
    const std::string text = "Can't find or execute '" + path + "'";
    setLastError(VHErrCantExecute, text);
    debugLine("VHSupport: " + text);
    return false;
}

bool isVHServerRunning() {
    clearLastError();
    return isProcessRunning(vhServerExecutablePath());
}

std::string vhStateName() {
    switch (vhProcessState.load()) {
    case VHStateUnknown: return "unknown";
    case VHStateServiceStopped: return "service stopped";
    case VHStateServiceRunning: return "service running";
    case VHStateStopped: return "stopped";
    case VHStateRunning: return "running";
    default: return "UNDEFINED STATE";
    }
}

bool queryVHClientStatus(std::string& reply) {
    clearLastError();
    if (!vhIntegrationEnabled.load()) {
        const std::string text = "Can't query VH client status, VirtualHere integration is not enabled";
        setLastError(VHErrNotEnabled, text);
        logError("VHSupport: " + text);
        return false;
    }
    reply.clear();
    if (!VHSupport::sendVHClientCommand("GET CLIENT STATE", reply, false)) return false;
    parseVHClientState(reply);
    return true;
}

bool parseVHClientState(const std::string& reply) {
    {
        ScopedOwnerLock guard(textLock);
        serverHostName.clear();
    }
    if (reply.empty() || reply[0] != '<') return false;
    try {
        Poco::XML::DOMParser parser;
        Poco::AutoPtr<Poco::XML::Document> document = parser.parseString(reply);
        Poco::XML::NodeIterator it(document, Poco::XML::NodeFilter::SHOW_ELEMENT);
        for (Poco::XML::Node* node = it.nextNode(); node != nullptr; node = it.nextNode()) {
            auto* element = static_cast<Poco::XML::Element*>(node);
            if (element->nodeName() != "connection" || !element->hasAttributes() ||
                !element->hasAttribute("hostname") || element->getAttribute("hostname").empty())
                continue;
            ScopedOwnerLock guard(textLock);
            serverHostName = element->getAttribute("hostname");
            return true;
        }
    } catch (const Poco::Exception& e) {
        debugLine("VHSupport: Can't read the VH client state: " + e.displayText());
    }
    vhLastError.store(VHErrNoServerHostName);
    return false;
}

bool isVHClientResponding() {
    const std::string path = vhClientExecutablePath();
    if (!isProcessRunning(path)) {
        vhDebug("VHSupport: VH client not running: " + path);
        return false;
    }
    std::string reply;
    if (queryVHClientStatus(reply)) return !reply.empty() && reply[0] == '<' && reply.find("state") != std::string::npos;
    vhDebug("VHSupport: VH client not responding, " + reply);
    return false;
}

std::string vhServerHostName() {
    ScopedOwnerLock guard(textLock);
    return serverHostName;
}

namespace VHSupport {

bool initVHServer() { return initMode(false); }

bool initVHClient() { return initMode(true); }

bool sendVHClientCommand(const std::string& command, std::string& reply, bool flag) {
    clearLastError();
    const VHExecFunction exec = vhcExecEntry.load();
    if (!vhIntegrationEnabled.load() || exec == nullptr) {
        logCritical("VHSupport::sendVHClientCommand: VirtualHere not enabled");
        return false;
    }
    vhTrace("VHSupport: Running VirtualHere client command " + command);
    char* text = nullptr;
    if (exec(command.c_str(), &text, flag) != 0) {
        if (text != nullptr) {
            reply = text;
            std::free(text);
        }
        vhTrace("VHSupport: Finished VirtualHere client command " + command);
        return true;
    }
    reply.clear();
    vhDebug("VHSupport: Failed VirtualHere client command " + command);
    return false;
}

bool isInstalled() { return serviceQuery("VHSupport::isInstalled", VHModuleSymbol::ClientServiceInstalled); }

bool isRunning() { return serviceQuery("VHSupport::isRunning", VHModuleSymbol::ClientServiceRunning); }

} // namespace VHSupport
