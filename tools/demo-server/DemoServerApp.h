// The demo server program: command line, stream loading, the HTTP(S) server
// and the orderly stop on SIGINT or SIGTERM.
#pragma once

#include "DemoOptions.h"

#include <Poco/Util/ServerApplication.h>

class DemoServerApp : public Poco::Util::ServerApplication {
protected:
    void defineOptions(Poco::Util::OptionSet& options) override;
    void handleOption(const std::string& name, const std::string& value) override;
    int main(const std::vector<std::string>& arguments) override;

private:
    void showHelp() const;
    int parseCount(const std::string& name, const std::string& value, int minimum, int maximum) const;

    DemoOptions options_;
    bool helpRequested_ = false;
};
