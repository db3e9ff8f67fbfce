// Command lines as a user, a link or a "qdk:" address in a browser may give
// them: the input is the argument list, arguments separated by NUL bytes
// (the program name comes first, as the system passes it). The client's
// command-line object parses it as at start-up. An option error and the
// abort of a second address (exit code -2) are documented ends of the
// start: here they raise and end the input. The start address that results
// is never a qdk address itself.
#include "DummyPocoApp.h"
#include "FuzzSupport.h"
#include "StartupOptions.h"

#include <Poco/AutoPtr.h>
#include <Poco/Exception.h>
#include <Poco/String.h>
#include <Poco/URI.h>
#include <Poco/Util/OptionException.h>

#include <cstdio>

namespace {

constexpr std::size_t MAX_ARGUMENTS = 32;

struct StartupAborted {
    int exitCode;
};

void raiseAbort(int exitCode) { throw StartupAborted{exitCode}; }

void checkStartAddress() {
    const StartupOptions& o = startupOptions;
    if (!o.startAddressGiven) return;
    std::string scheme;
    try {
        scheme = Poco::URI(o.startAddress).getScheme();
    } catch (const Poco::SyntaxException&) {
        return; // classified later as an address the client cannot open
    }
    if (scheme == "qdk") fuzz::fail("a qdk address became the start address: " + o.startAddress);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::discardLogs("trace");
    startupAbortHandler = raiseAbort;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments = fuzz::splitInput(data, size, std::string(1, '\0'), MAX_ARGUMENTS);
    arguments.insert(arguments.begin(), "/opt/quarrydesk/quarrydesk-client");
    startupOptions = StartupOptions{};
    Poco::AutoPtr<DummyPocoApp> application(new DummyPocoApp);
    try {
        application->processCommandLine(arguments);
    } catch (const Poco::Util::OptionException&) {
        return 0; // "Caught exception: ..." and exit code -3
    } catch (const StartupAborted&) {
        return 0; // the abort text and exit code -2
    }
    checkStartAddress();
    for (const std::string& argument : arguments) addressForDisplay(argument);
    return 0;
}
