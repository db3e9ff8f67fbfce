#include "NativeClientServerProxy.h"

#include "CanvasRegistry.h"
#include "QorCanvas.h"
#include "ClientSettings.h"
#include "ControlMessageTypes.h"
#include "Logging.h"
#include "NativeClient.h"
#include "NativeClientCtrlReceiveThread.h"
#include "NativeClientDataFrameEvent.h"
#include "NativeClientDecoderOutOfSyncEvent.h"
#include "NativeClientErrorEvent.h"
#include "NativeClientJSONDataFrameEvent.h"
#include "NativeClientScreenClosedEvent.h"
#include "NativeClientScreenSessionFinishedEvent.h"
#include "NativeClientSenderThread.h"
#include "NativeClientServerSessionFinishedEvent.h"
#include "NativeClientSession.h"
#include "NativeClientVHSupport.h"
#include "ProtocolKeys.h"
#include "QorTunnelClientInterface.h"
#include "QorTunnelServerInterface.h"
#include "QorMessage.h"
#include "QorWebSocket.h"
#include "ServerConnectionFactory.h"
#include "ServerConnectionValues.h"
#include "TunnelPath.h"
#include "UsbControlMessages.h"
#include "Utilities.h"

#include <Poco/Exception.h>
#include <Poco/UTF8String.h>

namespace qor {

std::atomic<std::int32_t> proxyCounter{0};

namespace {

bool collapsed(const QorThread& thread) { return (thread.state() & ThreadState::STOPPING_MASK) != 0; }

// Running number of the USB tunnels ("VHTun-" and the number).
std::atomic<std::int32_t> vhTunnelCounter{0};

} // namespace

NativeClientServerProxy::NativeClientServerProxy(const std::string& serverAddress)
    : QorEventThread(false), serverAddress_(serverAddress) {
    setName("Session " + std::to_string(proxyCounter.fetch_add(1)));
    connectionFactory_ = new ServerConnectionFactory(serverAddress_);
    RegisterServerProxy(this);
    logNotice(name() + ": Connected to " + serverAddress_);
}

NativeClientServerProxy::~NativeClientServerProxy() {
    // First of all: USB forwarding stops using the connection (and a poll
    // tick that uses it ends before) while its threads and sockets go.
    UnregisterServerProxy();
    stopEventLoop();
    // A proxy whose loop never ran still owns what attachBridgeSocket and
    // the dispatch made: the sessions' threads would outlive it.
    endSessions();
    stopCtrlSendThread();
    closeConnections();
    delete connectionFactory_;
    connectionFactory_ = nullptr;
    if (screenCount.load() == 1) relabelCanvas(0, CANVAS_ID_UNASSIGNED);
    deleteTunnel();
    logNotice(name() + ": Connection to server " + serverAddress_ + " terminated");
}

bool NativeClientServerProxy::attachBridgeSocket(QorWebSocket* bridgeSocket, const std::string& clientId) {
    bridgeSocket_ = bridgeSocket;
    // An empty id is reported as missing when the control socket is opened.
    if (clientId.empty() || checkClientId(clientId, "the js-bridge")) {
        clientId_.set(clientId);
        if (ensureServerCtrlSocket()) return true;
    }
    logError(name() + ": Can't connect WebSocket to server");
    requestStop();
    return false;
}

bool NativeClientServerProxy::ensureServerCtrlSocket() {
    if (ctrlSocket_ != nullptr) {
        logError(name() + ": Server Ctrl-WebSocket already connected");
        return true;
    }
    QorWebSocket* socket = connectServerCtrlSocket();
    if (socket == nullptr) {
        checkpoint(144, CheckpointFile::SERVER_PROXY);
        logError(name() + ": Error connecting Server Ctrl-WebSocket");
        requestStop();
        return false;
    }
    {
        ScopedOwnerLock guard(sendLock_);
        ctrlSocket_ = socket;
    }
    startCtrlSendThread();
    return true;
}

QorWebSocket* NativeClientServerProxy::connectServerCtrlSocket() {
    const std::string id = clientId();
    if (id.empty()) {
        logError(name() + ": Connnect Server Ctrl-WebSocket: ClientID missing");
        return nullptr;
    }
    if (isDebugEnabled()) logDebug(name() + ": Connecting Server Ctrl-WebSocket");
    QorWebSocket* socket = connectionFactory_->connectCtrlSocket(id);
    if (socket == nullptr)
        logError(name() + ": Can't connect Server Ctrl-WebSocket");
    else if (isDebugEnabled())
        logDebug(name() + ": Connected Server Ctrl-WebSocket");
    if (!usbWarningSent_) warnUsbModuleVersion();
    return socket;
}

void NativeClientServerProxy::startCtrlSendThread() {
    ScopedOwnerLock guard(senderLock_);
    if (sender_ != nullptr) return;
    NativeClientSenderThread* sender = new NativeClientSenderThread(this);
    sender->setSocket(ctrlSocket_);
    sender->start(-1);
    sender_ = sender;
    if (isDebugEnabled()) logDebug(name() + ": Started server ctrl send thread, " + sender->name());
}

void NativeClientServerProxy::stopCtrlSendThread() {
    NativeClientSenderThread* sender = nullptr;
    {
        // From here on sendCtrl finds no sender: nobody posts to one that
        // is being stopped and deleted.
        ScopedOwnerLock guard(senderLock_);
        sender = sender_;
        sender_ = nullptr;
    }
    if (sender == nullptr) return;
    if (isDebugEnabled()) logDebug(name() + ": Stopping server ctrl send thread, " + sender->name());
    sender->stopEventLoop();
    delete sender;
}

void NativeClientServerProxy::startWebClientReceiveThread() {
    webClientReceiver_ = new NativeClientCtrlReceiveThread(this, " (WebClCtrl)");
    webClientReceiver_->setSocket(bridgeSocket_);
    webClientReceiver_->start(-1);
    if (isDebugEnabled()) logDebug(name() + ": Started " + webClientReceiver_->name());
}

void NativeClientServerProxy::stopCtrlReceiveThread() {
    if (webClientReceiver_ != nullptr) {
        webClientReceiver_->stopReceiving();
        delete webClientReceiver_;
        webClientReceiver_ = nullptr;
    }
    if (isDebugEnabled()) logDebug(name() + ": Stopped CtrlRvcThread");
}

void NativeClientServerProxy::sendCtrl(const std::string& json, const std::string& label, bool verbose) {
    ScopedOwnerLock guard(senderLock_);
    if (sender_ == nullptr) {
        logCritical(name() + ": Server ctrl send not initialized '" + json + "', " + label);
        return;
    }
    sender_->postEvent(new NativeClientDataFrameEvent(json, label, verbose));
}

int NativeClientServerProxy::writeToPage(const std::string& text) {
    ScopedOwnerLock guard(sendLock_);
    if (bridgeSocket_ == nullptr) {
        logCritical("Can't get web client connection");
        return -1;
    }
    if (text.size() > PAGE_TEXT_LIMIT) {
        // Cut, the text would reach the page as broken JSON.
        logError(name() + ": Not updating WebClient, " + std::to_string(text.size()) +
                 " bytes exceed the message limit");
        return -1;
    }
    try {
        return bridgeSocket_->sendText(text.data(), static_cast<int>(text.size()));
    } catch (const Poco::Exception& e) {
        logError(name() + ": Can't update WebClient: " + e.displayText());
        return -1;
    }
}

bool NativeClientServerProxy::updateWebClient(const std::string& text, bool verbose) {
    if (verbose && isDebugEnabled()) logDebug(name() + ": Updating WebClient, msg '" + text + "'");
    const int sent = writeToPage(text);
    if (verbose && sent > 0 && isDebugEnabled()) logDebug(name() + ": WebClient updated");
    return sent > 0;
}

bool NativeClientServerProxy::sendClientUpdate(std::int32_t warningCode, const std::string& text,
                                               std::int32_t displayTime) {
    if (isDebugEnabled()) logDebug("Sending client update " + text);
    QorMessage warning(MessageType::SVR_WARNING);
    warning.setMember(QOR_SVR_WARNING_CODE, std::int64_t{warningCode});
    warning.setMember(QOR_SVR_WARNING_DISPLAY_TIME, std::int64_t{displayTime});
    warning.setMember(QOR_SVR_WARNING_MSG, text);
    warning.setMember(QOR_SVR_WARNING_SET, std::int64_t{1});
    writeToPage(warning.toJson());
    return true;
}

QorWebSocket* NativeClientServerProxy::connectVideoSocket(std::int32_t display) {
    const std::string id = clientId();
    if (id.empty()) {
        logError(name() + ": Connnect VideoWebSocket: ClientID missing");
        return nullptr;
    }
    if (display < 0) {
        logError(name() + ": Connnect VideoWebSocket: Invalid display id");
        return nullptr;
    }
    if (isDebugEnabled()) logDebug(name() + ": Connecting video socket, display " + std::to_string(display));
    QorWebSocket* socket = connectionFactory_->openVideoSocket(id, display);
    if (socket != nullptr) {
        if (isDebugEnabled()) logDebug(name() + ": Connected video socket");
    } else {
        logError(name() + ": Can't connect video socket");
    }
    return socket;
}

bool NativeClientServerProxy::setupTunnel(std::int32_t type, const std::string& tunnelName, std::int32_t portB,
                                          std::int32_t portC) {
    if (type != 0 && type != 1) {
        logError(name() + ": Retrieved invalid value " + std::to_string(type) + " for " + QOR_TUN_TYPE +
                 " (QOR_TUN_TYPE)");
        return false;
    }
    // The name goes into the request path as it stands.
    if (!isValidTunnelName(tunnelName)) {
        // Escaped so that the name cannot break the log line; its slashes stay.
        logError(name() + ": Retrieved invalid value '" + replaceAll(Poco::UTF8::escape(tunnelName), "\\/", "/") +
                 "' for " + QOR_TUN_ID + " (QOR_TUN_ID)");
        return false;
    }
    if (tunnel_ != nullptr) {
        // One tunnel per connection: the request changes nothing, but the
        // user can see why.
        logNotice(name() + ": Tunnel '" + tunnelName + "' not set up, the connection has tunnel '" + tunnel_->name() +
                  "' already");
        return true;
    }
    if (isDebugEnabled()) {
        std::string text = name() + ": Setting up tunnel to server to forward port " + std::to_string(portB);
        if (portB != portC) text += " to " + std::to_string(portC);
        logDebug(text);
    }
    const std::string id = clientId();
    QorWebSocket* socket = connectionFactory_->connectTunnelSocket(id, type, tunnelName, portB, portC);
    if (socket == nullptr) {
        logError(logPrefix() + "Can't connect tunnel websocket, ports " + std::to_string(portB) + "/" +
                 std::to_string(portC));
        return false;
    }
    // Each end owns the socket from its construction on, also when that
    // construction fails.
    if (type == 0)
        tunnel_ = new QorTunnelServerInterface(id, tunnelName, portB, socket);
    else
        tunnel_ = new QorTunnelClientInterface(id, tunnelName, portC, socket);
    componentDebug(LogComponentMask::VH, name() + ": Tunnel '" + tunnelName + "' is setup at ports " +
                                             std::to_string(portB) + "/" + std::to_string(portC));
    return true;
}

bool NativeClientServerProxy::setupVHTunnel() {
    if (!clientIsHost_) {
        if (isDebugEnabled()) logDebug("VH integration disabled, as client is not host");
        return true;
    }
    if (tunnel_ != nullptr) return true;
    const std::string tunnelName = "VHTun-" + std::to_string(++vhTunnelCounter);
    const int serverPortValue = clientVirtualHereServerPort.get();
    logNotice(name() + ": Setting up VH tunnel to server to forward port " + std::to_string(serverPortValue) + " (" +
              tunnelName + ")");
    if (!setupTunnel(0, tunnelName, serverPortValue, clientVirtualHereClientPort.get())) return false;
    usbTunnelUp_.store(true);
    signalTunnelStarted();
    return true;
}

NativeClientSession* NativeClientServerProxy::sessionAt(std::int32_t index) const {
    if (!sessions_ || index < 0 || index >= screenCount.load() || index >= SESSION_SLOTS) return nullptr;
    return (*sessions_)[static_cast<std::size_t>(index)];
}

bool NativeClientServerProxy::storeSession(std::int32_t index, NativeClientSession* session) {
    if (!sessions_ || index < 0 || index >= screenCount.load() || index >= SESSION_SLOTS) return false;
    (*sessions_)[static_cast<std::size_t>(index)] = session;
    return true;
}

std::string NativeClientServerProxy::clientId() const { return clientId_.get(); }

bool NativeClientServerProxy::checkClientId(const std::string& id, const std::string& source) const {
    if (isSafePathSegment(id)) return true;
    logError(name() + ": Refusing client id \"" + Poco::UTF8::escape(id) + "\" from " + source +
             ", it cannot stand in a server path");
    return false;
}

bool NativeClientServerProxy::closeConnections() {
    ScopedOwnerLock guard(sendLock_);
    auto closeSocket = [this](QorWebSocket* socket) {
        try {
            socket->close(false);
        } catch (const Poco::Exception& e) {
            if (isDebugEnabled()) logDebug(name() + ": Closing " + socket->name() + ": " + e.displayText());
        }
    };
    if (bridgeSocket_ != nullptr) {
        if (isTraceEnabled()) logTrace(name() + ": Closing WebClient Bridge-WebSocket");
        closeSocket(bridgeSocket_);
        componentDebug(LogComponentMask::NET,
                       name() + ": Closed WebClient Bridge-WebSocket to " + bridgeSocket_->peerAddress());
    }
    if (ctrlSocket_ != nullptr) {
        if (isTraceEnabled()) logTrace(name() + ": Closing Server Ctrl-WebSocket");
        closeSocket(ctrlSocket_);
        componentDebug(LogComponentMask::NET | LogComponentMask::SMGNT,
                       name() + ": Closed Server Ctrl-WebSocket to " + ctrlSocket_->peerAddress());
    }
    delete bridgeSocket_;
    delete ctrlSocket_;
    bridgeSocket_ = nullptr;
    ctrlSocket_ = nullptr;
    return true;
}

void NativeClientServerProxy::deleteTunnel() {
    usbTunnelUp_.store(false);
    delete tunnel_;
    tunnel_ = nullptr;
}

void NativeClientServerProxy::checkTunnel() {
    if (tunnel_ == nullptr || !collapsed(*tunnel_)) return;
    logNotice("Tunnel to peer collapsed, cleaning up ...");
    deleteTunnel();
}

void NativeClientServerProxy::eventLoop() {
    const int file = CheckpointFile::SERVER_PROXY;
    autoSignInAllowed.store(false);
    checkpoint(161, file);
    startWebClientReceiveThread();
    std::string endReason;
    while (isRunning()) {
        checkpoint(169, file);
        Poco::AutoPtr<BaseEvent> event = waitForEvent();
        if (!event) {
            logDebug(name() + ": Thread read empty message");
            continue;
        }
        checkpoint(179, file);
        handleEvent(event.get(), endReason);
    }
    checkpoint(302, file);
    logDebug(name() + ": Terminating");
    checkpoint(306, file);
    endSessions();
    if (webClientReceiver_ != nullptr) {
        checkpoint(325, file);
        stopCtrlReceiveThread();
    }
    checkpoint(333, file);
    stopCtrlSendThread();
    checkpoint(337, file);
    logDebug(name() + ": Updating NativeClient");
    NativeClient::instance()->postEvent(new NativeClientServerSessionFinishedEvent(endReason, name()));
    checkpoint(343, file);
    closeConnections();
    checkpoint(347, file);
    logDebug(name() + ": Exiting");
}

void NativeClientServerProxy::endSessions() {
    if (!sessions_) return;
    std::vector<std::int32_t> live;
    for (std::int32_t i = 0; i < SESSION_SLOTS; ++i)
        if (sessionAt(i) != nullptr) live.push_back(i);
    for (std::int32_t i : live) sessionAt(i)->postEvent(new NativeClientScreenSessionFinishedEvent("Session shutdown", i));
    for (std::int32_t i : live) sessionAt(i)->stopEventLoop();
    // Slots beyond a screen count that shrank are not reachable through
    // sessionAt any more; their sessions go as well.
    for (NativeClientSession*& slot : *sessions_) {
        if (slot == nullptr) continue;
        slot->stopEventLoop();
        delete slot;
        slot = nullptr;
    }
}

void NativeClientServerProxy::handleEvent(BaseEvent* base, std::string& endReason) {
    const int file = CheckpointFile::SERVER_PROXY;
    const bool debug = isDebugEnabled();
    switch (base->type()) {
    case NativeClientBaseEvent::DECODER_OUT_OF_SYNC: {
        checkpoint(287, file);
        const std::int32_t screen = static_cast<NativeClientDecoderOutOfSyncEvent*>(base)->screen;
        if (debug) logDebug(name() + ": Session " + std::to_string(screen) + " lost decoding sync");
        sendResync(screen);
        break;
    }
    case NativeClientBaseEvent::CTRL_FRAME: {
        checkpoint(187, file);
        const QorMessage& message = static_cast<NativeClientJSONDataFrameEvent*>(base)->message;
        if (!dispatchCtrlMessage(message))
            componentDebug(LogComponentMask::OTHER,
                           name() + ": Error processing message: " + (message.isEmpty() ? "" : message.toJson()));
        checkTunnel();
        break;
    }
    case NativeClientBaseEvent::ERROR_DETECTED:
    case NativeClientBaseEvent::SOCKET_FAILED: {
        auto* event = static_cast<NativeClientErrorEvent*>(base);
        const std::string screen = std::to_string(event->screen);
        if (event->screen == -1) {
            logNotice(name() + ": Disconnecting from server. Message \"" + event->message + "\"");
            checkpoint(232, file);
            requestStop();
        } else if (NativeClientSession* session = sessionAt(event->screen)) {
            session->postEvent(new NativeClientScreenSessionFinishedEvent("Session shutdown", event->screen));
            if (debug) logDebug(name() + ": Dispatched error event to session " + screen);
        } else if (debug) {
            logDebug(name() + ": Session " + screen + " already down, ignoring event");
        }
        break;
    }
    case NativeClientBaseEvent::SCREEN_SESSION_FINISHED: {
        checkpoint(257, file);
        auto* event = static_cast<NativeClientScreenSessionFinishedEvent*>(base);
        const std::string screen = std::to_string(event->screen);
        if (debug) logDebug(name() + ": Session " + screen + " disconnected from server");
        if (NativeClientSession* session = sessionAt(event->screen)) {
            session->stopEventLoop();
            delete session;
            storeSession(event->screen, nullptr);
            if (debug) logDebug(name() + ": Session " + screen + " cleaned");
        } else if (debug) {
            logDebug(name() + ": Session " + screen + " already removed");
        }
        if (screenCount.load() == 1) {
            if (!event->reason.empty()) endReason = event->reason;
            if (debug) logDebug(name() + ": Logging out");
            requestStop();
        }
        break;
    }
    case NativeClientBaseEvent::SCREEN_CLOSED: {
        checkpoint(202, file);
        const std::int32_t index = static_cast<NativeClientScreenClosedEvent*>(base)->screen;
        const std::string screen = std::to_string(index);
        if (debug) logDebug(name() + ": Received screen-closed event for screen " + screen);
        checkpoint(208, file);
        if (NativeClientSession* session = sessionAt(index)) {
            session->postEvent(new NativeClientScreenSessionFinishedEvent("Session shutdown", index));
            if (debug) logDebug(name() + ": Dispatched screen-closed event to session " + screen);
        } else if (debug) {
            logDebug(name() + ": Session " + screen + " already down, ignoring event");
        }
        checkpoint(219, file);
        break;
    }
    default:
        if (debug) logDebug(name() + ": Event not handled: " + base->name());
        break;
    }
}

} // namespace qor
