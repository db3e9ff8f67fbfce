#include "PageServer.h"

#include <cstdlib>

TestCertificate::TestCertificate() {
    const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -keyout " +
                                key() + " -out " + certificate() + " >/dev/null 2>&1";
    made_ = std::system(command.c_str()) == 0;
}

PageServer::PageServer(const std::string& host, int port, const TestCertificate* tls,
                       std::vector<std::string> options)
    : scheme_(tls ? "https" : "http"), host_(host) {
    std::vector<std::string> args{testSourcePath("web/page_server.py"), host, std::to_string(port)};
    if (tls) {
        args.push_back("--tls");
        args.push_back(tls->certificate());
        args.push_back(tls->key());
    }
    args.insert(args.end(), options.begin(), options.end());
    process_ = std::make_unique<PeerProcess>(debianPython(), args);
    std::string rest;
    if (process_->waitForLine("READY ", rest, 20000)) port_ = std::atoi(rest.c_str());
}

std::string PageServer::url(const std::string& path) const {
    const bool defaultPort = (scheme_ == "http" && port_ == 80) || (scheme_ == "https" && port_ == 443);
    return scheme_ + "://" + host_ + (defaultPort ? "" : ":" + std::to_string(port_)) + path;
}
