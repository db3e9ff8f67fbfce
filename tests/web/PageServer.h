// A local web server process (page_server.py) for the probe and form tests:
// marker pages, error statuses, redirect chains, gzip bodies, oversized and
// trickling answers, a broker's alive probe; over TLS when a certificate is
// given.
#pragma once

#include "PeerProcess.h"
#include "TestPaths.h"

#include <memory>
#include <string>
#include <vector>

// A self-signed certificate for 127.0.0.1, made by openssl at test time.
class TestCertificate {
public:
    TestCertificate();
    bool made() const { return made_; }
    std::string certificate() const { return dir_.file("cert.pem"); }
    std::string key() const { return dir_.file("key.pem"); }

private:
    TempDir dir_;
    bool made_ = false;
};

class PageServer {
public:
    // Port 0 takes a free port; options: "--broker", "--leostream".
    PageServer(const std::string& host, int port, const TestCertificate* tls = nullptr,
               std::vector<std::string> options = {});
    PageServer() : PageServer("127.0.0.1", 0) {}

    // False when the server could not listen (the reason is in output()).
    bool ready() const { return port_ > 0; }
    int port() const { return port_; }
    // scheme://host:port followed by the path.
    std::string url(const std::string& path) const;
    std::string output() const { return process_->output(); }

private:
    std::string scheme_;
    std::string host_;
    int port_ = 0;
    std::unique_ptr<PeerProcess> process_;
};
