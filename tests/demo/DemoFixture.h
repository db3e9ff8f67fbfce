// Test fixture: a temp dir with a small test stream (and a self-signed
// certificate for https), and demo servers started on free loopback ports.
#pragma once

#include "DemoMedia.h"
#include "DemoPeer.h"
#include "DemoServerProcess.h"
#include "TestCertificates.h"
#include "TestPaths.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

struct ServerSetup {
    explicit ServerSetup(bool secure = false, std::string pathPrefix = "", int screenCount = 1,
                         std::vector<std::string> arguments = {})
        : https(secure), prefix(std::move(pathPrefix)), screens(screenCount), extra(std::move(arguments)) {}
    bool https;
    std::string prefix;
    int screens;
    std::vector<std::string> extra;  // further command-line arguments
};

class DemoFixture : public ::testing::Test {
protected:
    // 60 pictures of 192x108, a single IDR picture at the start.
    const TestStream& stream();
    std::unique_ptr<DemoServerProcess> startServer(const ServerSetup& setup);
    // Signs in, reads the CSRF token and opens the page socket; returns the
    // client id from the server's hello.
    std::string openDesk(DemoPeer& peer, std::unique_ptr<Poco::Net::WebSocket>& pageSocket);

    TempDir dir_;
    // The self-signed certificate of the last server started over https.
    CertificateFiles serverCertificate_;

private:
    std::unique_ptr<TestStream> stream_;
};

std::string controlPath(const std::string& clientId);
std::string videoPath(const std::string& clientId, int display);
