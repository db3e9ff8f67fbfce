// Shared set-up of the connection tests: log capture, the process-wide
// connection values pointed at a fake server, and the page's side of a
// bridge WebSocket.
#pragma once

#include "FakeCanvas.h"
#include "FakeServer.h"
#include "NativeClientServerProxy.h"
#include "QorThread.h"
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
    // Empties the canvas registry.
    void TearDown() override;
    // Points the connection values at a fresh fake server; over https its
    // self-signed certificate is pinned for 127.0.0.1.
    void useServer(bool secure);
    // The same for an https server with the certificate; no trust recorded.
    void useServer(const CertificateFiles& certificate);
    BridgePair openBridge();
    // Registers the stream decoders (once per process) and the canvas of the
    // main window (-1), which a screen's decoder then takes.
    void offerCanvas();

    LogCapture log{"debug"};
    TempDir tempDir;
    std::unique_ptr<FakeServer> server;
    WebSocketAcceptor acceptor;
    FakeCanvas canvas{-1};

private:
    void pointAt(FakeServer* fakeServer);
};

// A started proxy between the page (the test) and the fake server.
class StartedProxyTest : public ConnectionTest {
protected:
    void SetUp() override {
        useServer(false);
        connect();
    }

    // A new bridge, a new proxy attached to it, and its control socket.
    void connect() {
        bridge = openBridge();
        ASSERT_NE(bridge.client, nullptr);
        proxy.reset(new qor::NativeClientServerProxy("127.0.0.1"));
        ASSERT_TRUE(proxy->attachBridgeSocket(bridge.client, "client-1"));
        AcceptedSocket accepted = server->waitForSocket(20000);
        ASSERT_EQ(accepted.target, "http://127.0.0.1/ws/desktop/native-ctrl/client-1");
        control = std::move(accepted.socket);
        proxy->start(-1);
    }

    void TearDown() override {
        proxy.reset();
        ConnectionTest::TearDown();
    }

    void fromPage(const std::string& text) { sendTextFrame(*bridge.page, text); }
    std::string toServer(const std::string& fragment) { return readFrameContaining(*control, fragment, 20000); }
    std::string toPage(const std::string& fragment) { return readFrameContaining(*bridge.page, fragment, 20000); }
    bool proxyEnded() { return (proxy->state() & qor::ThreadState::BODY_RETURNED) != 0; }

    BridgePair bridge;
    std::unique_ptr<Poco::Net::WebSocket> control;
    std::unique_ptr<qor::NativeClientServerProxy> proxy;
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
