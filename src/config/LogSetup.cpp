#include "LogSetup.h"

#include "ClientSettings.h"
#include "Logging.h"
#include "OwnerOnlyFileChannel.h"
#include "RunConfig.h"
#include "SettingsRegistry.h"

#include <Poco/AutoPtr.h>
#include <Poco/ConsoleChannel.h>
#include <Poco/FormattingChannel.h>
#include <Poco/Logger.h>
#include <Poco/NullChannel.h>
#include <Poco/PatternFormatter.h>
#include <Poco/SplitterChannel.h>

#include <exception>
#include <iostream>

std::string logFilePath;

namespace {

// Released by the static clean-up at exit.
Poco::AutoPtr<OwnerOnlyFileChannel> fileChannel;
Poco::AutoPtr<Poco::ConsoleChannel> consoleChannel;
Poco::AutoPtr<Poco::SplitterChannel> splitterChannel;
// The formatting channel over the file, so that it can be detached.
Poco::AutoPtr<Poco::FormattingChannel> fileFormattingChannel;

Poco::AutoPtr<Poco::PatternFormatter> makeFormatter(const std::string& pattern) {
    Poco::AutoPtr<Poco::PatternFormatter> formatter(new Poco::PatternFormatter);
    formatter->setProperty("pattern", pattern);
    formatter->setProperty("times", "local");
    return formatter;
}

} // namespace

bool registerLogSettings(const std::string& logFileName) {
    clientLogLevel.ensureRegistered(1);
    clientLogFormat.ensureRegistered(2);
    clientLogFileSize.ensureRegistered(2);
    clientLogFileNumber.ensureRegistered(2);
    clientLogFile.ensureRegistered(2);

    if (!logFileName.empty()) clientLogFile.update(logFileName);

    const std::string directory = runConfigLogPath();
    const std::string name = clientLogFile.effectiveString();
    const bool standsAlone = !name.empty() && (name[0] == '.' || name[0] == '/' || name[0] == '\\');
    if (standsAlone || name.find(':') != std::string::npos)
        logFilePath = name;
    else
        logFilePath = directory + name;
    return true;
}

bool setupLogChannels(const std::string& firstLine, bool failOnWriteError, const std::string& logFileName) {
    if (!registerLogSettings(logFileName)) return false;

    if (!isRunAsService() && !isSystemAccount()) consoleChannel = new Poco::ConsoleChannel(std::cout);

    fileChannel = new OwnerOnlyFileChannel;
    fileChannel->setProperty("path", logFilePath);
    fileChannel->setProperty("rotation", std::to_string(clientLogFileSize.get()) + " K");
    fileChannel->setProperty("archive", "timestamp");
    fileChannel->setProperty("purgeCount", std::to_string(clientLogFileNumber.get()));

    Poco::AutoPtr<Poco::PatternFormatter> fileFormatter = makeFormatter(clientLogFormat.get());
    fileFormattingChannel = new Poco::FormattingChannel(fileFormatter, fileChannel);

    Poco::Logger& root = Poco::Logger::root();
    if (consoleChannel) {
        splitterChannel = new Poco::SplitterChannel;
        splitterChannel->addChannel(fileFormattingChannel);
        Poco::AutoPtr<Poco::FormattingChannel> console(
            new Poco::FormattingChannel(makeFormatter("%q%q: %t"), consoleChannel));
        splitterChannel->addChannel(console);
        root.setChannel(splitterChannel);
    } else {
        root.setChannel(fileFormattingChannel);
    }
    root.setLevel(clientLogLevel.get());

    createClientLogger();
    // The client logger may exist already (a library asked for it by name);
    // it takes the root's channel and level in every case.
    Poco::Logger& client = Poco::Logger::get("QOR");
    client.setChannel(root.getChannel());
    client.setLevel(root.getLevel());

    const bool written = writeFirstLogLine(firstLine, failOnWriteError);
    logHeldSettingsWarnings();
    if (failOnWriteError && !written) return false;
    reportRunPaths();
    return true;
}

bool writeFirstLogLine(const std::string& line, bool failOnWriteError) {
    try {
        // Straight to the logger: the facade keeps write failures to itself.
        if (Poco::Logger* logger = clientLogger()) logger->information(line);
        return true;
    } catch (...) {
        // The file cannot be written: keep logging on the console only, or
        // nowhere when there is no console.
        Poco::Logger& client = Poco::Logger::get("QOR");
        if (splitterChannel) {
            splitterChannel->removeChannel(fileFormattingChannel);
        } else {
            Poco::AutoPtr<Poco::NullChannel> nowhere(new Poco::NullChannel);
            Poco::Logger::root().setChannel(nowhere);
            client.setChannel(nowhere);
        }
        if (failOnWriteError)
            logError("Can't write to the log file at '" + logFilePath +
                     "'.  Please close any applications that are currently using the log file and try again.");
        else
            logDebug("Can't write to the log file at '" + logFilePath + "'.");
        return false;
    }
}

void setLogLevel(const std::string& level) {
    clientLogLevel.ensureRegistered(1);
    // Only a level name that the setting accepted reaches the logger.
    if (clientLogLevel.setFromString(level) && clientLogger() != nullptr) setClientLoggerLevel(clientLogLevel.get());
}
