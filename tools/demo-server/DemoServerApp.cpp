#include "DemoServerApp.h"

#include "DemoContext.h"
#include "DemoRequestHandlerFactory.h"

#include <Poco/AutoPtr.h>
#include <Poco/ConsoleChannel.h>
#include <Poco/FormattingChannel.h>
#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/SSLManager.h>
#include <Poco/Net/SecureServerSocket.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/NumberParser.h>
#include <Poco/PatternFormatter.h>
#include <Poco/ThreadPool.h>
#include <Poco/Util/HelpFormatter.h>
#include <Poco/Util/IntValidator.h>
#include <Poco/Util/Option.h>
#include <Poco/Util/OptionException.h>
#include <Poco/Util/OptionSet.h>

#include <iostream>
#include <map>

using Poco::Util::Option;

void DemoServerApp::defineOptions(Poco::Util::OptionSet& options) {
    ServerApplication::defineOptions(options);
    auto add = [&](const char* name, const char* shortName, const char* description, const char* argument,
                   bool repeatable = false) {
        Option option(name, shortName, description, false);
        if (argument) option.argument(argument);
        option.repeatable(repeatable);
        options.addOption(option);
    };
    add("help", "h", "Show this help and exit.", nullptr);
    add("port", "p", "TCP port to listen on (default 8080; 0: any free port).", "PORT");
    add("bind", "b", "Address to listen on (default 127.0.0.1).", "ADDRESS");
    add("cert", "c", "PEM certificate file: serve https (needs --key).", "FILE");
    add("key", "k", "PEM private key file of the certificate.", "FILE");
    add("prefix", "P", "Path prefix of every page and endpoint, e.g. /a/b (default none).", "PATH");
    add("stream", "s",
        "H.264 Annex-B stream file with access unit delimiters; give it once per screen "
        "(the last one serves the remaining screens).",
        "FILE", true);
    add("screens", "n", "Number of remote screens (1 to 32, default 1).", "N");
    add("fps", "f", "Frames per second sent on each screen (1 to 240, default 25).", "FPS");
    add("stat-interval", "i", "Milliseconds between statistics requests per screen (default 2000).", "MS");
    add("user", "u", "User name of the sign-in page (default demo).", "NAME");
    add("password", "w", "Password of the sign-in page (default demo).", "PASSWORD");
    add("verbose", "v", "Log every request and message.", nullptr);
    add("tunnel-port", "t",
        "Tunnels of type 0: listen on 127.0.0.1 at this port (0: any free port, printed) and send each "
        "connection through the client to its local port (default: no such tunnels).",
        "PORT");
    add("tunnel-target", "T",
        "Tunnels of type 1: connect each connection that the client opens to 127.0.0.1 at this port "
        "(default: no such tunnels).",
        "PORT");
    add("protocol-version", "V", "Network protocol version announced in SVR_CLNT_ID (default 4.3).", "MAJOR.MINOR");
    add("usb-allow", "A",
        "USB sharing: send this allow list (comma-separated fragments of device names) as SrvAllowedUSBDevs "
        "(default: none sent, every device allowed).",
        "LIST");
    add("usb-show-all", "S", "USB sharing: ask the client to list every device, the ones not allowed too.", nullptr);
    add("usb-passive", "Q",
        "USB sharing: the remote USB client leaves the client's bind and release requests pending.", nullptr);
}

int DemoServerApp::parseCount(const std::string& name, const std::string& value, int minimum, int maximum) const {
    int number = 0;
    if (!Poco::NumberParser::tryParse(value, number) || number < minimum || number > maximum)
        throw Poco::Util::InvalidArgumentException("--" + name + " takes a number from " + std::to_string(minimum) +
                                                   " to " + std::to_string(maximum) + ", not '" + value + "'");
    return number;
}

void DemoServerApp::handleOption(const std::string& name, const std::string& value) {
    ServerApplication::handleOption(name, value);
    if (name == "help") {
        helpRequested_ = true;
        stopOptionsProcessing();
    } else if (name == "port") {
        options_.port = parseCount(name, value, 0, 65535);
    } else if (name == "bind") {
        options_.bindAddress = value;
    } else if (name == "cert") {
        options_.certificateFile = value;
    } else if (name == "key") {
        options_.keyFile = value;
    } else if (name == "prefix") {
        std::string prefix = value;
        while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
        if (!prefix.empty() && prefix.front() != '/') prefix.insert(0, "/");
        options_.pathPrefix = prefix;
    } else if (name == "stream") {
        options_.streamFiles.push_back(value);
    } else if (name == "screens") {
        options_.screens = parseCount(name, value, 1, 32);
    } else if (name == "fps") {
        options_.framesPerSecond = parseCount(name, value, 1, 240);
    } else if (name == "stat-interval") {
        options_.statIntervalMs = parseCount(name, value, 50, 3600000);
    } else if (name == "user") {
        options_.user = value;
    } else if (name == "password") {
        options_.password = value;
    } else if (name == "verbose") {
        options_.verbose = true;
    } else if (name == "tunnel-port") {
        options_.tunnelPort = parseCount(name, value, 0, 65535);
    } else if (name == "tunnel-target") {
        options_.tunnelTarget = parseCount(name, value, 1, 65535);
    } else if (name == "protocol-version") {
        options_.protocolVersion = value;
    } else if (name == "usb-allow") {
        options_.usbAllowListSet = true;
        options_.usbAllowList = value;
    } else if (name == "usb-show-all") {
        options_.usbShowAll = true;
    } else if (name == "usb-passive") {
        options_.usbPassive = true;
    }
}

void DemoServerApp::showHelp() const {
    Poco::Util::HelpFormatter help(options());
    help.setCommand(commandName());
    help.setUsage("[options]");
    help.setHeader(
        "Plays the remote-desktop server for the Quarrydesk Client: sign-in pages, the desk page, "
        "resource tickets, the control socket, one H.264 video socket per screen, the server's end of port "
        "tunnels and the remote side of USB sharing. "
        "Make a stream with make-demo-stream.sh.");
    help.format(std::cout);
}

int DemoServerApp::main(const std::vector<std::string>&) {
    if (helpRequested_) {
        showHelp();
        return EXIT_OK;
    }
    Poco::AutoPtr<Poco::PatternFormatter> formatter(new Poco::PatternFormatter("%H:%M:%S.%i %p: %t"));
    Poco::AutoPtr<Poco::FormattingChannel> channel(
        new Poco::FormattingChannel(formatter, Poco::AutoPtr<Poco::Channel>(new Poco::ConsoleChannel)));
    Poco::Logger& logger = Poco::Logger::create("DemoServer", channel,
                                                options_.verbose ? Poco::Message::PRIO_DEBUG
                                                                 : Poco::Message::PRIO_INFORMATION);

    if (options_.streamFiles.empty()) {
        std::cerr << "No stream file: give --stream FILE (make one with make-demo-stream.sh)\n";
        return EXIT_USAGE;
    }
    if (options_.certificateFile.empty() != options_.keyFile.empty()) {
        std::cerr << "https needs both --cert and --key\n";
        return EXIT_USAGE;
    }

    std::vector<std::shared_ptr<const AccessUnitStream>> streams;
    std::map<std::string, std::shared_ptr<const AccessUnitStream>> loaded;
    try {
        for (int screen = 0; screen < options_.screens; ++screen) {
            const std::string& file = options_.streamFileForScreen(screen);
            auto& stream = loaded[file];
            if (!stream) {
                stream = std::make_shared<const AccessUnitStream>(file);
                logger.information("Stream " + file + ": " + std::to_string(stream->size()) + " access units, " +
                                   std::to_string(stream->format().width) + "x" +
                                   std::to_string(stream->format().height) + ", encoding " +
                                   stream->encodingSpecText());
            }
            streams.push_back(stream);
        }
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return EXIT_DATAERR;
    }

    DemoContext context(options_, streams, logger);
    Poco::ThreadPool pool(4, 128);
    Poco::Net::HTTPServerParams::Ptr params = new Poco::Net::HTTPServerParams;
    params->setMaxThreads(128);
    params->setMaxQueued(128);
    std::unique_ptr<Poco::Net::HTTPServer> server;
    try {
        const Poco::Net::SocketAddress address(options_.bindAddress, static_cast<Poco::UInt16>(options_.port));
        if (options_.secure()) {
            Poco::Net::initializeSSL();
            Poco::Net::Context::Ptr tls = new Poco::Net::Context(
                Poco::Net::Context::SERVER_USE, options_.keyFile, options_.certificateFile, "",
                Poco::Net::Context::VERIFY_NONE, 9, false, "ALL:!ADH:!LOW:!EXP:!MD5:@STRENGTH");
            server = std::make_unique<Poco::Net::HTTPServer>(new DemoRequestHandlerFactory(context), pool,
                                                             Poco::Net::SecureServerSocket(address, 64, tls), params);
        } else {
            server = std::make_unique<Poco::Net::HTTPServer>(new DemoRequestHandlerFactory(context), pool,
                                                             Poco::Net::ServerSocket(address, 64), params);
        }
    } catch (const Poco::Exception& e) {
        std::cerr << "Cannot listen on " << options_.bindAddress << ":" << options_.port << ": " << e.displayText()
                  << "\n";
        return EXIT_SOFTWARE;
    }
    server->start();
    const std::string hostText = options_.bindAddress.find(':') != std::string::npos ? "[" + options_.bindAddress + "]"
                                                                                      : options_.bindAddress;
    std::cout << "demo-server listening on " << options_.scheme() << "://" << hostText << ":" << server->port()
              << options_.pathPrefix << "/" << std::endl;
    logger.information("Sign in as '" + options_.user + "', " + std::to_string(options_.screens) + " screen(s) at " +
                       std::to_string(options_.framesPerSecond) + " fps");

    waitForTerminationRequest();

    logger.information("Stopping");
    context.stopping = true;
    context.desks.closeAll();
    server->stopAll(true);
    pool.joinAll();
    server.reset();
    if (options_.secure()) Poco::Net::uninitializeSSL();
    logger.information("Stopped");
    return EXIT_OK;
}
