#include "StartClient.h"

#include "ClientConfig.h"
#include "ClientSettings.h"
#include "DummyPocoApp.h"
#include "FileHelpers.h"
#include "LogSetup.h"
#include "Logging.h"
#include "RunConfig.h"
#include "SettingsRegistry.h"
#include "SslSetup.h"
#include "StartupOptions.h"
#include "Utilities.h"
#include "BrokerSession.h"
#include "DecoderStartup.h"
#include "PageProbes.h"
#include "UsbStartup.h"
#include "VHProxySupport.h"

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/Util/OptionException.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

DummyPocoApp* application = nullptr;
WindowCheck windowCheck = nullptr;

// A message of the NET component at a level (Poco numbering): promoted to
// information with the component names when NET is selected.
void netMessage(int priority, const std::string& text) {
    if (((debugComponentMask | traceComponentMask) & LogComponentMask::NET) != 0) {
        logInformation(componentNames(LogComponentMask::NET, false) + ":" + text);
        return;
    }
    switch (priority) {
    case 3: logError(text); break;
    case 5: logNotice(text); break;
    default:
        if (isDebugEnabled()) logDebug(text);
        break;
    }
}

void registerStartupSettings() {
    qor::ConfigEntry* settings[] = {
        &clientH264Profile,          &clientParallelDecoding,     &clientDoubleBuffering,
        &clientConnectUrl,           &clientUsername,             &clientPassword,
        &clientBrokerUsername,       &clientBrokerPassword,       &clientKioskModeEnabled,
        &clientEncoding,             &clientIgnoreCertificateError, &clientOpenGLVShaderYUV420p,
        &clientOpenGLFShaderYUV420p, &clientOpenGLVShaderNV12,    &clientOpenGLFShaderNV12,
        &clientNativeDecoding,       &clientHwColorConversion,    &clientOpenGLRenderMode,
        &clientHighDPIScaling,
    };
    for (qor::ConfigEntry* setting : settings) setting->ensureRegistered(2);
}

void applyCommandLineValues() {
    const StartupOptions& o = startupOptions;
    if (o.logLevelGiven) setLogLevel(o.logLevel);
    if (o.startAddressGiven) clientConnectUrl.setFromString(o.startAddress);
    if (o.userNameGiven) clientUsername.setFromString(o.userName);
    if (o.passwordGiven) clientPassword.setFromString(o.password);
    debugComponentMask = parseComponentList(o.debugComponentsGiven ? o.debugComponents : clientDebugComponentsDebug.get());
    traceComponentMask = parseComponentList(o.traceComponentsGiven ? o.traceComponents : clientDebugComponentsTrace.get());
    if (o.kioskGiven) clientKioskModeEnabled.setFromString("true");
    if (o.encodingSpecGiven) clientEncoding.setFromString(o.encodingSpec);
    if (o.h264ProfileGiven) clientH264Profile.setFromString(o.h264Profile);
    if (o.usbServerPortGiven) {
        clientVirtualHereServerPort.get(); // loaded first, so that the file's value cannot replace the option's
        clientVirtualHereServerPort.setFromString(o.usbServerPort);
    }
}

void applySwitches() {
    const StartupOptions& o = startupOptions;
    if (o.ignoreCertificateErrorsGiven)
        clientIgnoreCertificateError.setFromString(o.ignoreCertificateErrors ? "true" : "false");
    if (clientIgnoreCertificateError.get())
        logWarning("Warning: Client is ignoring SSL Certificate errors.  The connection may be insecure.");

    if (o.nativeDecodingGiven) {
        clientNativeDecoding.setFromString(o.nativeDecoding ? "true" : "false");
        if (!o.nativeDecoding) logWarning("Disabling native decoding on command line");
    }
    if (o.hwColorConversionGiven) {
        clientHwColorConversion.setFromString(o.hwColorConversion ? "true" : "false");
        if (!o.hwColorConversion) logWarning("Disabling hardware color conversion on command line");
    }
    if (o.parallelDecodingGiven) {
        clientParallelDecoding.setFromString(o.parallelDecoding ? "true" : "false");
        if (!o.parallelDecoding) logWarning("Disabling parallel color conversion on command line");
    }
    if (o.doubleBufferingGiven) {
        if (o.doubleBuffering) {
            clientDoubleBuffering.setFromString("true");
            logInformation("Using double buffering (defined by command line)");
        } else {
            clientDoubleBuffering.setFromString("false");
            if (isDebugEnabled()) logDebug("Using single buffering (defined by command line)");
        }
    }
    if (o.openGLRenderModeGiven) {
        const std::string& mode = o.openGLRenderMode;
        if (mode == "normal" || mode == "quads") {
            if (clientOpenGLRenderMode.differs(mode)) logNotice("Setting OpenGL rendering mode to '" + mode + "'");
            clientOpenGLRenderMode.setFromString(mode);
        } else if (mode == "off") {
            if (clientOpenGLRenderMode.differs(mode)) logNotice("Turning OpenGL rendering off");
            clientOpenGLRenderMode.setFromString(mode);
        } else {
            logCritical("Invalid value for OpenGL rendering: '" + mode + "', please use 'normal','quads', 'off'");
            std::exit(-1);
        }
    }
}

void classifyStartAddress() {
    if (clientKioskModeEnabled.get()) {
        logNotice("Running in kiosk mode");
        if (clientConnectUrl.equals(""))
            netMessage(7, "No URL defined, using connect dialog.  Please specify server URL or broker URL.");
    }
    if (clientConnectUrl.differs("")) {
        const std::string url = clientConnectUrl.get();
        // Log lines and the dialog never show a password of the address.
        const std::string shown = addressForDisplay(url);
        std::string body;
        if (!fetchPage(url, body)) {
            const std::string text = "Can't access server, URL '" + shown + "'";
            netMessage(3, text);
            setPendingConnectMessage(text);
        } else if (probeServer(url, body)) {
            std::string error;
            if (initStartServerUrl(url, error)) {
                netMessage(5, "Using URL '" + shown + "' to connect to remote server");
            } else {
                const std::string text = "Malformed server URL '" + shown + "'.  Error: " + error;
                netMessage(3, text);
                setPendingConnectMessage(text);
            }
        } else if (probeBroker(url, body)) {
            if (initBrokerUrl(url)) {
                netMessage(5, "Using connection broker, URL '" + shown + "'");
            } else {
                const std::string text = "Malformed broker URL '" + shown + "'";
                netMessage(3, text);
                setPendingConnectMessage(text);
            }
        } else {
            const std::string text = "URL '" + shown + "' can't be reached.";
            logError(text);
            setPendingConnectMessage(text);
        }
    }
    resetSessionInformation();
}

} // namespace

DummyPocoApp* startupApplication() { return application; }

void setWindowCheck(WindowCheck check) { windowCheck = check; }

bool isHyperVGuest() { return isHyperVGuestAt("/"); }

void writeConfigurationAndExit(const std::string& requestedPath, bool full) {
    if (isDebugEnabled()) logDebug("Writing config file");
    if (full) enableFullConfigWrite();
    qor::ClientConfig* config = getClientConfig();
    std::string path = requestedPath;
    if (path.empty() && config != nullptr) path = defaultConfigFilePath();
    if (path.find("AppData") != std::string::npos) path = applicationBaseName() + ".xml";

    std::string reason;
    try {
        // A missing folder is made, as a user would expect of a path given.
        const Poco::Path parent = Poco::Path(path).parent();
        if (!parent.toString().empty()) Poco::File(parent).createDirectories();
    } catch (const Poco::Exception& e) {
        reason = e.displayText();
    }
    std::string errorText;
    errno = 0;
    if (reason.empty() && (config == nullptr || !config->writeConfigFile(path, true, errorText))) {
        reason = errorText.empty() ? "no configuration" : errorText;
        if (errno != 0) reason += ": " + std::string(std::strerror(errno));
    }
    if (!reason.empty()) {
        std::fprintf(stderr, "Can't write the configuration file '%s': %s\n", path.c_str(), reason.c_str());
        std::fflush(stderr);
        logError("Can't write the configuration file '" + path + "': " + reason);
        std::exit(-1);
    }
    std::exit(0);
}

bool startClient(const std::string& banner, const std::string& programTag, const std::string& programDir, int argc,
                 char** argv) {
    // The command line.
    application = new DummyPocoApp;
    std::vector<std::string> arguments(argv, argv + argc);
    try {
        application->processCommandLine(arguments);
    } catch (const Poco::Util::OptionException& error) {
        std::string message = error.message();
        // An unknown or ambiguous name is shown without its value, which
        // may be a mistyped password.
        if (dynamic_cast<const Poco::Util::UnknownOptionException*>(&error) != nullptr ||
            dynamic_cast<const Poco::Util::AmbiguousOptionException*>(&error) != nullptr)
            message = message.substr(0, message.find_first_of("=:"));
        std::fprintf(stderr, "Caught exception: '%s'\n", message.c_str());
        std::fflush(stderr);
        displayHelp(*application);
        std::exit(-3);
    }

    // Configuration files.
    Poco::Util::LayeredConfiguration& config = application->config();
    const int loaded = application->loadConfiguration(0);
    configFileLoaded = loaded > 0;
    if (loaded > 0) {
        Poco::Path found(config.getString("application.configDir", ""));
        found.makeDirectory();
        found.setFileName(programTag + ".xml");
        recordConfigFile(found.toString(), true);
    }
    config.setString("application.dir", programDir);
    config.setString("application.baseName", programTag);
    config.setString("application.name", programTag);
    const std::string userFile = clientConfigPath(config, "");
    if (checkFileAttributes(userFile, FileKind::RegularFile) == FileAttributes::Usable)
        loadConfigFile(config, userFile, 0);
    else
        recordConfigFile(userFile, false);

    // Container, run paths, start-up settings and overrides.
    createClientConfig(&config);
    initRunConfigPaths();
    registerStartupSettings();
    applyCommandLineValues();

    // Output requests, before anything touches the log.
    if (application->helpRequested) {
        displayHelp(*application);
        std::exit(0);
    }
    if (application->versionRequested || application->versionExtRequested) {
        displayVersion(*application, !application->versionRequested);
        std::exit(0);
    }

    // Logging and the working directory.
    if (!setupLogChannels(banner, false, startupOptions.logFileName)) return false;
    programDirectory = programDir;
    if (!changeDirectory(programDir)) {
        logError("Can't change current directory to " + programDir + ", err " +
                 windowsErrorText(static_cast<unsigned int>(errno)));
        return false;
    }

    // Windows need a display; the runs that open none need no display.
    const bool opensWindows = startupOptions.usbDiagnosis == 0 && startupOptions.usbServiceCommand.empty() &&
                              !startupOptions.writeConfigGiven && !startupOptions.writeFullConfigGiven;
    std::string noWindows;
    if (opensWindows && windowCheck != nullptr && !windowCheck(noWindows)) {
        logCritical(noWindows);
        std::exit(-1);
    }

    // USB. A run that only lists the devices or carries out a service
    // command starts no USB support: a status query changes nothing.
    runUsbStartup(startupOptions.usbDiagnosis == 0 && startupOptions.usbServiceCommand.empty());
    if (startupOptions.usbDiagnosis != 0) runUsbDiagnosis();
    if (!startupOptions.usbServiceCommand.empty()) handleVHProxyCommand(startupOptions.usbServiceCommand);

    // Report and the remaining switches.
    reportConfigFiles();
    applySwitches();
    if (isHyperVGuest()) {
        logWarning("Running client on Hyper-V is not supported");
        if (clientHwColorConversion.get()) {
            logWarning("Disabling hardware color conversion on Hyper-V instance");
            clientHwColorConversion.setFromString("false");
        }
    }

    // Decoders.
    const bool decoders = registerStreamDecoders();
    if (!decoders && clientNativeDecoding.get()) {
        if (isDebugEnabled()) logDebug("NativeClient: Can't register a single decoder, giving up");
        return false;
    }
    collectSupportedEncodingSpecs(registeredDecoderSpecs());

    // Configuration output.
    if (startupOptions.writeConfigGiven || startupOptions.writeFullConfigGiven)
        writeConfigurationAndExit(startupOptions.configOutputPath, startupOptions.writeFullConfigGiven);

    // Banner, TLS and the start address.
    logStartupBanner();
    setupSsl();
    if (isDebugEnabled()) logDebug("NativeClient: Initialized");
    classifyStartAddress();
    return true;
}
