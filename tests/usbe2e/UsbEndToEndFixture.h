// What the USB end-to-end tests share: this machine's USB server qdvhwin64
// on a device file (the device fixture, rewritten to plug and unplug), the
// demo server with a desk for the client, NativeClient with its js-bridge,
// the page played by a relay between the two, and short exchanges with the
// USB server and the daemon vhproxy. Each test runs in a network namespace
// of its own (the daemon's port 7679 is fixed).
#pragma once

#include "ConnectionFixture.h"
#include "DemoFixture.h"
#include "FakeCanvas.h"
#include "JsBridge.h"
#include "LinkTestSupport.h"
#include "LogCapture.h"
#include "NativeClient.h"
#include "PageRelay.h"
#include "PeerProcess.h"
#include "ServiceTestSupport.h"
#include "TestPaths.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

class UsbEndToEnd : public DemoFixture {
protected:
    void SetUp() override;
    void TearDown() override;

    // The device file anew (written beside and renamed over the old one).
    void writeDevices(const std::vector<std::string>& devices);
    // qdvhwin64 on a free port with the device file, named "desk-9"; the
    // client's Client.VirtualHere.ServerPort points at it.
    void startUsbServer();
    // The client's own start-up, as the program runs it, in a program
    // directory of the test's own: the USB module beside the client starts
    // the USB server qdvhwin64 on the device file (DeviceFixture of the
    // vhserver.cnf in the user's folder) at the default port, and the daemon
    // vhproxy beside them is registered with the systemd stand-in, which the
    // client asks to start it. settings go into <VirtualHere> of the
    // client's configuration file.
    void startClientProgram(const std::string& settings = "");
    // The demo server with the extra options, a desk signed in (as a guest
    // when asked), NativeClient with its js-bridge and the page's relay;
    // returns once the client has announced its features.
    void startDemo(const std::vector<std::string>& serverOptions, bool guest = false);
    // The page's bridge to the client, and its relay: opened (the client
    // makes a new server connection for it), and closed (as when the page
    // goes away).
    void openBridge();
    void closeBridge();
    // The demo server's end of the client's USB tunnel is up.
    bool waitForUsbTunnel(int timeoutMs = 20000);
    // The server sent the page a message of the kind holding the fragment.
    bool pageGot(const std::string& kind, const std::string& fragment, int timeoutMs = 20000);

    // The client's log: the start-up's file, then the lines captured since.
    std::string clientLog() const;
    // Waits for a line of the client's log holding the fragment.
    bool clientLogged(const std::string& fragment, int timeoutMs = 20000) const { return log->waitFor(fragment, timeoutMs); }
    // One line to the USB server and its reply line.
    std::string usbServerLine(const std::string& line);
    // "address=state ... clients=N" from the USB server's LIST.
    std::string usbServerStates();
    // The VHErrCode of the daemon's reply to a device-list request (-1: no reply).
    int daemonListCode();

    // The client's log lines (installed again after the client's start-up
    // set up its own log).
    std::unique_ptr<LogCapture> log = std::make_unique<LogCapture>("debug");
    TempDir files;
    TempDir home;
    std::string programDir;  // ends with "/"
    std::unique_ptr<ServiceRoot> services;
    int usbPort = freeLoopbackPort();  // the client program's: the default, 17570
    std::unique_ptr<PeerProcess> usbServer;
    std::unique_ptr<DemoServerProcess> server;
    std::unique_ptr<DemoPeer> peer;
    std::unique_ptr<Poco::Net::WebSocket> pageSocket;
    std::string clientId;
    FakeCanvas canvas{qor::CANVAS_ID_UNASSIGNED};
    JsBridge bridge;
    bool bridgeStarted = false;
    std::unique_ptr<Poco::Net::WebSocket> bridgePage;
    std::chrono::steady_clock::time_point bridgeOpenedAt;
    std::unique_ptr<PageRelay> relay;
};
