// Program entry of the Quarrydesk Client.
#include "Logging.h"

#include <Poco/ConsoleChannel.h>
#include <Poco/FormattingChannel.h>
#include <Poco/Logger.h>
#include <Poco/PatternFormatter.h>

#include <unistd.h>

#include <string>

int main() {
    Poco::AutoPtr<Poco::PatternFormatter> formatter(new Poco::PatternFormatter("%q%q: %t"));
    Poco::AutoPtr<Poco::FormattingChannel> channel(
        new Poco::FormattingChannel(formatter, new Poco::ConsoleChannel));
    Poco::Logger::root().setChannel(channel);
    Poco::Logger::root().setLevel("information");
    createClientLogger();
    logInformation("Quarrydesk Client 14.0.0 started with PID " + std::to_string(::getpid()));
    return 0;
}
