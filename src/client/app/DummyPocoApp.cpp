#include "DummyPocoApp.h"

#include "StartupOptions.h"
#include "Utilities.h"

#include <Poco/Exception.h>
#include <Poco/String.h>
#include <Poco/URI.h>
#include <Poco/Util/HelpFormatter.h>
#include <Poco/Util/Option.h>
#include <Poco/Util/OptionException.h>
#include <Poco/Util/OptionSet.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#ifndef QDK_BUILD_REVISION
#define QDK_BUILD_REVISION "00000000"
#endif

namespace {

using Poco::Util::Option;

void abortStartup(const char* text, int code) {
    std::fprintf(stderr, "%s\n", text);
    std::fflush(stderr);
    startupAbortHandler(code);
    std::exit(code);
}

// The value of a boolean option: no value means true; a value must be a
// boolean word, so that a typo cannot switch an option on.
bool booleanOption(const std::string& name, const std::string& value) {
    if (value.empty()) return true;
    const std::string word = Poco::toLower(value);
    if (word == "1" || word == "true" || word == "on") return true;
    if (word == "0" || word == "false" || word == "off") return false;
    throw Poco::Util::InvalidArgumentException("option " + name + " takes true or false, not '" + value + "'");
}

// The query items of a URI in order, with "+" read as a blank.
std::vector<std::pair<std::string, std::string>> queryItems(const Poco::URI& uri) {
    std::vector<std::pair<std::string, std::string>> items;
    const std::string raw = uri.getRawQuery();
    std::string::size_type pos = 0;
    while (pos <= raw.size() && !raw.empty()) {
        std::string::size_type end = raw.find('&', pos);
        if (end == std::string::npos) end = raw.size();
        const std::string item = raw.substr(pos, end - pos);
        if (!item.empty()) {
            const std::string::size_type eq = item.find('=');
            std::string name;
            std::string value;
            // "+" is a blank; an encoded plus ("%2B") stays a plus.
            const std::string plain = Poco::replace(item, "+", " ");
            Poco::URI::decode(plain.substr(0, eq), name);
            if (eq != std::string::npos) Poco::URI::decode(plain.substr(eq + 1), value);
            items.emplace_back(name, value);
        }
        pos = end + 1;
    }
    return items;
}

// A start address that cannot be read: the client starts without one.
void ignoreServerUri(const std::string& text, const Poco::Exception& error) {
    std::fprintf(stderr, "Ignoring the server URI '%s': %s\n", addressForDisplay(text).c_str(),
                 error.displayText().c_str());
}

} // namespace

void (*startupAbortHandler)(int exitCode) = [](int exitCode) { std::exit(exitCode); };

DummyPocoApp::DummyPocoApp() = default;

int DummyPocoApp::processCommandLine(const std::vector<std::string>& arguments) {
    init(arguments);
    const int result = run();
    if (deferredOptionError_) deferredOptionError_->rethrow();
    return result;
}

void DummyPocoApp::initialize(Poco::Util::Application& self) { Poco::Util::Application::initialize(self); }

void DummyPocoApp::uninitialize() { Poco::Util::Application::uninitialize(); }

void DummyPocoApp::defineOptions(Poco::Util::OptionSet& options) {
    struct Add {
        Poco::Util::OptionSet& set;
        // Nothing is repeatable: an option given twice is an option error.
        void operator()(const char* name, const char* shortName, const std::string& description) const {
            set.addOption(Option(name, shortName, description, false).repeatable(false));
        }
        void operator()(const char* name, const char* shortName, const std::string& description, const char* argument,
                        bool argumentRequired) const {
            set.addOption(
                Option(name, shortName, description, false).repeatable(false).argument(argument, argumentRequired));
        }
    } add{options};
    add("help", "h", "Display help information on command line arguments");
    add("version", "v", "Display the version number");
    add("version-ext", "V", "Display extended version information");
    add("logLevel", "l",
        "Set the log level (ex: trace, debug, information, notice, warning, error, critical, none)", "level", true);
    add("logFile", "f", "Set the name of the log file", "filename", true);
    add("server", "s", "Set the URI to connect to", "uri", true);
    add("user", "u", "Set the username for server authentication", "username", true);
    add("kiosk", "k", "Run in kiosk mode");
    add("password", "p", "Set the password for server authentication", "password", true);
    add("profile", "P", "Use specified video profile for the server stream", "base|main|high", true);
    add("ignoreSSLError", "i", "Ignore SSL certificate errors", "true|false", false);
    add("runOpenGLTest", "o", "Run a quick test to check OpenGL setup");
    add("runDecoderTest", "d", "Test performance of registered encoders-", "iterations", false);
    add("nativeDecodingEnabled", "n", "Use native client decoding", "true|false", false);
    add("hwColorConversion", "H", "Use gpu for color format conversion", "true|false", false);
    add("parallelDecoding", "", "Parallelize decoding", "true|false", false);
    add("useDoubleBuffering", "", "Use swap buffer for decoding", "true|false", false);
    add("openGLRenderMode", "", "Defines if and how the stream is rendered", "normal|quads|off", true);
    add("components-debug", "", "Generate debugging information for specific features (internal only)", "Component(s)", true);
    add("components-trace", "", "Generate trace information for specific features (internal only)", "Component(s)", true);
    add("writeConfig", "w", "Write configuration file", "filename", false);
    add("writeFullConfig", "W", "Write complete configuration file", "filename", false);
    add("vhProxy", "", std::string("install/deinstall/start/stop/query ") + "VHProxy service", "install|uninstall|start|stop|status", false);
    add("debugUSB", "", "Try to detect local USB devices");
    add("usbServerPort", "", "Set the port of this machine's USB server (Client.VirtualHere.ServerPort)", "port", true);
}

void DummyPocoApp::handleOption(const std::string& name, const std::string& value) {
    StartupOptions& o = startupOptions;
    if (name == "help") {
        helpRequested = true;
    } else if (name == "version") {
        versionRequested = true;
    } else if (name == "version-ext") {
        versionExtRequested = true;
    } else if (name == "logLevel") {
        o.logLevel = value;
        o.logLevelGiven = true;
    } else if (name == "logFile") {
        o.logFileName = value;
    } else if (name == "server") {
        parseUriArgument(*this, value);
    } else if (name == "user") {
        if (o.userNameGiven) abortStartup("Aborting.  Only one username argument is allowed at a time", -2);
        o.userName = value;
        o.userNameGiven = true;
    } else if (name == "kiosk") {
        o.kiosk = true;
        o.kioskGiven = true;
    } else if (name == "password") {
        o.password = value;
        o.passwordGiven = true;
    } else if (name == "profile") {
        o.h264Profile = value;
        o.h264ProfileGiven = true;
    } else if (name == "ignoreSSLError") {
        o.ignoreCertificateErrors = booleanOption(name, value);
        o.ignoreCertificateErrorsGiven = true;
    } else if (name == "runOpenGLTest") {
        o.runOpenGLTest = true;
    } else if (name == "nativeDecodingEnabled") {
        o.nativeDecoding = booleanOption(name, value);
        o.nativeDecodingGiven = true;
    } else if (name == "hwColorConversion") {
        o.hwColorConversion = booleanOption(name, value);
        o.hwColorConversionGiven = true;
    } else if (name == "parallelDecoding") {
        o.parallelDecoding = booleanOption(name, value);
        o.parallelDecodingGiven = true;
    } else if (name == "useDoubleBuffering") {
        o.doubleBuffering = booleanOption(name, value);
        o.doubleBufferingGiven = true;
    } else if (name == "openGLRenderMode") {
        o.openGLRenderMode = value;
        o.openGLRenderModeGiven = true;
    } else if (name == "components-debug") {
        o.debugComponents = value;
        o.debugComponentsGiven = true;
    } else if (name == "components-trace") {
        o.traceComponents = value;
        o.traceComponentsGiven = true;
    } else if (name == "writeConfig") {
        o.configOutputPath = value;
        o.writeConfigGiven = true;
    } else if (name == "writeFullConfig") {
        if (!value.empty()) o.configOutputPath = value;
        o.writeFullConfigGiven = true;
    } else if (name == "vhProxy") {
        o.usbServiceCommand = value.empty() ? "auto" : value;
    } else if (name == "debugUSB") {
        o.usbDiagnosis = 1;
    } else if (name == "usbServerPort") {
        o.usbServerPort = value;
        o.usbServerPortGiven = true;
    } else if (name == "OpenGLTestCF") {
        o.openGLTestFormat = value;
    } else if (name == "setEncodingSpec") {
        o.encodingSpec = value;
        o.encodingSpecGiven = true;
    } else {
        std::fprintf(stderr, "Ignoring unrecognized '%s' argument.\n", name.c_str());
    }
}

int DummyPocoApp::main(const std::vector<std::string>& arguments) {
    if (arguments.empty()) return 0;
    try {
        parseUriArgument(*this, arguments.front());
    } catch (const Poco::Util::OptionException& error) {
        deferredOptionError_.reset(error.clone());
    }
    return 0;
}

void parseUriArgument(DummyPocoApp& application, const std::string& text) {
    StartupOptions& o = startupOptions;
    if (o.startAddressGiven) abortStartup("Aborting.  Only one server URI argument is allowed at a time", -2);
    Poco::URI uri;
    try {
        if (Poco::toLower(text) == "qdk:")
            uri.setScheme("qdk"); // the scheme alone, which the parser refuses
        else
            uri = Poco::URI(text);
    } catch (const Poco::SyntaxException& error) {
        ignoreServerUri(text, error);
        return;
    }
    if (uri.getScheme() != "qdk") {
        o.startAddress = text;
        o.startAddressGiven = true;
        return;
    }
    // A server item may name another address, but never a qdk address: its
    // query would be followed again, as deep as the text nests.
    static bool insideQdkAddress = false;
    if (insideQdkAddress) abortStartup("Aborting.  Only one server URI argument is allowed at a time", -2);
    struct Inside {
        Inside() { insideQdkAddress = true; }
        ~Inside() { insideQdkAddress = false; }
    } inside;
    // The URI parser leaves the query as it is: a bad escape shows here.
    std::vector<std::pair<std::string, std::string>> items;
    try {
        items = queryItems(uri);
    } catch (const Poco::SyntaxException& error) {
        ignoreServerUri(text, error);
        return;
    }
    bool secure = true;
    for (const auto& [name, value] : items) {
        if (name == "secure") {
            const std::string word = Poco::toLower(value);
            if (word == "true")
                secure = true;
            else if (word == "false")
                secure = false;
            else
                abortStartup("Aborting.  URI's 'secure' argument must be 'true' or 'false'.", -2);
        } else if (name == "password" || name == "logFile" || name == "writeConfig" || name == "writeFullConfig") {
            std::fprintf(stderr, "Setting '%s' with the URI is not currently supported.  Ignoring.\n", name.c_str());
        } else {
            application.handleOption(name, value);
        }
    }
    Poco::URI address(uri);
    address.setScheme(secure ? "https" : "http");
    address.setQuery("");
    std::string addressText = address.toString();
    if (addressText == "http:" || addressText == "https:") addressText += "//";
    // The address itself wins over the address of a server item.
    o.startAddress = addressText;
    o.startAddressGiven = true;
}

void displayHelp(DummyPocoApp& application) {
    Poco::Util::HelpFormatter formatter(application.options());
    const std::string command = application.config().getString("application.baseName", "");
    formatter.setCommand(command);
    formatter.setUsage("[OPTIONS] [URI]");
    formatter.setWidth(120);
    std::cout << command << " (x64), version " << getClientVersion() << "-" << QDK_BUILD_REVISION << "\n\n";
    formatter.format(std::cout);
    std::cout.flush();
}

void displayVersion(DummyPocoApp&, bool extended) {
    const std::string version = getClientVersion() + "." + "0";
    if (!extended) {
        std::cout << version << "\n";
    } else {
        std::cout << "Version: " << version << ", build on '" << buildPlatformText() << "'\n";
        std::cout << "OS: " << getOSPlatform() << "\n";
    }
    std::cout.flush();
}

std::string addressForDisplay(const std::string& address) {
    const std::string::size_type schemeEnd = address.find("://");
    if (schemeEnd == std::string::npos) return address;
    const std::string::size_type authority = schemeEnd + 3;
    std::string::size_type authorityEnd = address.find_first_of("/?#", authority);
    if (authorityEnd == std::string::npos) authorityEnd = address.size();
    const std::string::size_type at = address.rfind('@', authorityEnd);
    if (at == std::string::npos || at < authority) return address;
    const std::string::size_type colon = address.find(':', authority);
    if (colon == std::string::npos || colon > at) return address;
    return address.substr(0, colon + 1) + "***" + address.substr(at);
}
