// One server connection: the page's bridge WebSocket, the server control
// WebSocket with its sender thread, the page receive thread, one screen
// session per remote screen and at most one port tunnel. Its own event
// thread, "Session " and a running number, dispatches the page's control
// messages and the failure and end events of its parts.
#pragma once

#include "LockedText.h"
#include "OwnerLock.h"
#include "QorEventThread.h"
#include "UsbServerConnection.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class QorMessage;

namespace qor {

class NativeClientCtrlReceiveThread;
class NativeClientSenderThread;
class NativeClientSession;
class QorTunnelInterface;
class QorWebSocket;
class ServerConnectionFactory;

// Registered with USB forwarding while it lives: USB messages for the
// server and the page go through it.
class NativeClientServerProxy : public QorEventThread, public UsbServerConnection {
public:
    static constexpr int SESSION_SLOTS = 32;
    // The most bytes of one text written to the page.
    static constexpr std::size_t PAGE_TEXT_LIMIT = 33554432;
    // The client's protocol version.
    static constexpr int CLIENT_PROTOCOL_MAJOR = 4;
    static constexpr int CLIENT_PROTOCOL_MINOR = 3;

    explicit NativeClientServerProxy(const std::string& serverAddress);
    ~NativeClientServerProxy() override;

    // Takes over the bridge socket, opens the control WebSocket and starts
    // the sender; false (state 4) when the client id cannot stand in a server
    // path or the control WebSocket cannot be opened.
    bool attachBridgeSocket(QorWebSocket* bridgeSocket, const std::string& clientId);
    bool ensureServerCtrlSocket();
    QorWebSocket* connectServerCtrlSocket();

    // A message to the server, queued for the sender; any thread, never blocks.
    void sendCtrl(const std::string& json, const std::string& label, bool verbose) override;
    // A message to the page; false when nothing was sent.
    bool updateWebClient(const std::string& text, bool verbose) override;
    // The USB tunnel (setupVHTunnel's) is up; any thread.
    bool usbTunnelUp() const override { return usbTunnelUp_.load(); }
    bool usbTunnelComing() const override { return usbTunnelComing_.load(); }
    // SVR_WARNING to the page.
    bool sendClientUpdate(std::int32_t warningCode, const std::string& text, std::int32_t displayTime);

    QorWebSocket* connectVideoSocket(std::int32_t display);
    // Opens the tunnel's WebSocket and makes the proxy's tunnel: type 0 the
    // server side (connects to 127.0.0.1:portB for each peer connection),
    // type 1 the client side (listens on 127.0.0.1:portC). True without
    // effect while a tunnel exists.
    bool setupTunnel(std::int32_t type, const std::string& tunnelName, std::int32_t portB, std::int32_t portC);
    bool setupVHTunnel();
    NativeClientSession* sessionAt(std::int32_t index) const;
    std::string clientId() const;
    bool closeConnections();

    // Control protocol (proxy thread).
    bool dispatchCtrlMessage(const QorMessage& message);
    bool handleClientId(const QorMessage& message);
    bool parseServerParam(const QorMessage& message);
    bool handleKbmCtrl(const QorMessage& message);
    bool sendResync(std::int32_t screen);
    void warnUsbModuleVersion();

    // The major protocol version the server of this connection announced
    // (4 until it says otherwise).
    std::int32_t protocolMajor() const { return protocolMajor_.load(); }
    bool clientIsHost() const { return clientIsHost_; }
    bool hasTunnel() const { return tunnel_ != nullptr; }
    // The tunnel, for the proxy thread and tests; null when there is none.
    QorTunnelInterface* tunnel() const { return tunnel_; }

protected:
    void eventLoop() override;

private:
    void startCtrlSendThread();
    void stopCtrlSendThread();
    void startWebClientReceiveThread();
    void stopCtrlReceiveThread();
    void handleEvent(BaseEvent* event, std::string& endReason);
    void checkTunnel();
    void endSessions();
    // Writes the text to the page under sendLock; bytes sent or -1.
    int writeToPage(const std::string& text);
    void deleteTunnel();

    bool dispatchTunnelCtrl(const QorMessage& message);
    bool dispatchUsbMessage(int type, const QorMessage& message);
    bool dispatchScreenMessage(int type, const QorMessage& message);
    bool handleServerParamMessage(const QorMessage& message);
    bool storeSession(std::int32_t index, NativeClientSession* session);
    // True for a client id that can stand in a server path
    // (isSafePathSegment); logs any other, naming where it came from.
    bool checkClientId(const std::string& id, const std::string& source) const;

    OwnerLock sendLock_;
    // Guards sender_ between sendCtrl callers and the proxy thread.
    OwnerLock senderLock_;
    QorWebSocket* bridgeSocket_ = nullptr;
    QorWebSocket* ctrlSocket_ = nullptr;
    bool usbWarningSent_ = false;
    bool clientIsHost_ = true;
    ServerConnectionFactory* connectionFactory_ = nullptr;
    std::string serverAddress_;
    std::unique_ptr<std::array<NativeClientSession*, SESSION_SLOTS>> sessions_;
    LockedText clientId_;
    NativeClientCtrlReceiveThread* webClientReceiver_ = nullptr;
    NativeClientSenderThread* sender_ = nullptr;
    QorTunnelInterface* tunnel_ = nullptr;
    std::atomic<bool> usbTunnelUp_{false};
    std::atomic<bool> usbTunnelComing_{true};
    std::atomic<std::int32_t> protocolMajor_{CLIENT_PROTOCOL_MAJOR};
};

// Number of proxies made so far; the next one takes it as its number.
extern std::atomic<std::int32_t> proxyCounter;

} // namespace qor
