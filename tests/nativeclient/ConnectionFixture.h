// Shared set-up of the connection tests: log capture, the process-wide
// connection values pointed at a fake server, and the page's side of a
// bridge WebSocket.
#pragma once

#include "FakeServer.h"
#include "LogCapture.h"
#include "TestPaths.h"
#include "WebSocketAcceptor.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace qor {
class QorWebSocket;
}

// One bridge connection: the page's end for the test, the client's end
// wrapped for the proxy.
struct BridgePair {
    std::unique_ptr<Poco::Net::WebSocket> page;
    qor::QorWebSocket* client = nullptr;  // handed to the proxy, which owns it
};

class ConnectionTest : public ::testing::Test {
protected:
    // Points the connection values at a fresh fake server.
    void useServer(bool secure);
    BridgePair openBridge();

    LogCapture log{"debug"};
    TempDir tempDir;
    std::unique_ptr<FakeServer> server;
    WebSocketAcceptor acceptor;
};

// Waits until the predicate holds (polling); false after the time-out.
template <typename Predicate>
bool eventually(Predicate predicate, int timeoutMs = 20000) {
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        if (predicate()) return true;
        Poco::Thread::sleep(10);
    }
    return predicate();
}
