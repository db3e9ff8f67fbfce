// The command line of the client: an application-framework object used only
// to parse the options (Unix form: --name, --name=value, -x) and the one
// optional address argument, which may use the client's own scheme "qdk".
// The option handler only stores values in startupOptions; the start-up
// routine applies them once the configuration files are loaded.
#pragma once

#include <Poco/Util/Application.h>

#include <memory>
#include <string>
#include <vector>

namespace Poco {
class Exception;
}

class DummyPocoApp : public Poco::Util::Application {
public:
    DummyPocoApp();

    // Processes the options (OptionException on an option error), then runs
    // main with the positional arguments. The program name comes first.
    int processCommandLine(const std::vector<std::string>& arguments);

    void handleOption(const std::string& name, const std::string& value) override;

    bool helpRequested = false;
    bool versionRequested = false;
    bool versionExtRequested = false;

protected:
    void initialize(Poco::Util::Application& self) override;
    void uninitialize() override;
    void defineOptions(Poco::Util::OptionSet& options) override;
    int main(const std::vector<std::string>& arguments) override;

private:
    // An option error raised while the address argument was parsed; the
    // framework's run() would swallow it, so it is raised again after run.
    std::unique_ptr<Poco::Exception> deferredOptionError_;
};

// Ends the process after the command line printed an abort text (exit code
// -2): std::exit. A program that parses many command lines in one process
// (the command-line fuzzer) puts a function here that raises instead.
extern void (*startupAbortHandler)(int exitCode);

// Takes the start address from the server option or the positional
// argument; a qdk address becomes https (or http with secure=false) and its
// query items are handled as options.
void parseUriArgument(DummyPocoApp& application, const std::string& text);

void displayHelp(DummyPocoApp& application);
void displayVersion(DummyPocoApp& application, bool extended);

// The address as log lines and messages may show it: a password in the
// user-information part is replaced by "***".
std::string addressForDisplay(const std::string& address);
