#include "NativeClient.h"

#include "ClientSettings.h"
#include "ControlMessageTypes.h"
#include "Logging.h"
#include "NativeClientScreenClosedEvent.h"
#include "NativeClientServerProxy.h"
#include "NativeClientServerSessionFinishedEvent.h"
#include "NativeClientWebSocketEvent.h"
#include "ProtocolKeys.h"
#include "QorMessage.h"
#include "QorWebSocket.h"
#include "ServerConnectionValues.h"
#include "StreamDecoderRegistration.h"
#include "NativeClientVHThread.h"
#include "VHSupport.h"

#include <Poco/JSON/Array.h>

namespace qor {

OwnerLock currentProxyLock;

namespace {

NativeClient* theInstance = nullptr;

const std::string EXIT_REASON = "NativeClientExit";

constexpr std::int64_t FEATURE_LOSSLESS = 0x1;
constexpr std::int64_t FEATURE_ALWAYS = 0x210;
constexpr std::int64_t FEATURE_USB = 0x40;

bool isExitEvent(const NativeClientServerSessionFinishedEvent& event) {
    return event.proxyName.empty() && event.reason == EXIT_REASON;
}

} // namespace

NativeClient* NativeClient::instance() {
    if (theInstance == nullptr) theInstance = new NativeClient();
    return theInstance;
}

NativeClient::NativeClient() : QorEventThread(false) {
    currentServerUrl_.set("unconnected");
    setName("NativeClient");
}

NativeClient::~NativeClient() { stopNativeClient(); }

void NativeClient::setCsrfToken(const std::string& token) { csrfToken_.set(token); }

std::string NativeClient::csrfToken() const { return csrfToken_.get(); }

std::string NativeClient::currentServerUrl() const { return currentServerUrl_.get(); }

void setCurrentServerUrl(const std::string& url) { NativeClient::instance()->currentServerUrl_.set(url); }

void NativeClient::eventLoop() {
    const int file = CheckpointFile::NATIVE_CLIENT;
    while (isRunning()) {
        checkpoint(691, file);
        Poco::AutoPtr<BaseEvent> event = waitForEvent();
        if (!event) {
            logDebug(name() + ": Read empty message");
            requestStop();
            break;
        }
        checkpoint(700, file);
        if (isDebugEnabled()) logDebug(name() + ": Processing " + event->name());
        switch (event->type()) {
        case NativeClientBaseEvent::WEB_SOCKET_CONNECTED:
            handleWebSocketConnected(event.get());
            break;
        case NativeClientBaseEvent::SERVER_SESSION_FINISHED:
            if (handleServerSessionFinished(event.get())) requestStop();
            break;
        case NativeClientBaseEvent::SCREEN_CLOSED:
            handleScreenClosed(event.get());
            break;
        default:
            break;
        }
    }
    drainAfterStop();
    logDebug(name() + ": Exit main loop");
}

void NativeClient::drainAfterStop() {
    // A stop that came while an event was being handled ends the loop before
    // the exit event is taken: the proxy must still go before the thread
    // ends, and no socket of a queued event may stay open.
    while (queuedEvents() > 0) {
        Poco::AutoPtr<BaseEvent> event = waitForEvent();
        if (!event) break;
    }
    shutdownServerProxy();
}

void NativeClient::handleWebSocketConnected(BaseEvent* base) {
    auto* event = static_cast<NativeClientWebSocketEvent*>(base);
    checkpoint(729, CheckpointFile::NATIVE_CLIENT);
    shutdownServerProxy();
    checkpoint(733, CheckpointFile::NATIVE_CLIENT);
    logDebug(name() + ": Received new js-bridge connection");
    NativeClientServerProxy* proxy = new NativeClientServerProxy(currentServerUrl());
    {
        ScopedOwnerLock guard(currentProxyLock);
        currentProxy_ = proxy;
    }
    NativeClientWebSocketEvent::Socket socket = event->takeSocket();
    QorWebSocket* bridge = socket.get();
    if (proxy->attachBridgeSocket(socket.release(), event->clientId)) {
        logDebug(name() + ": New js-bridge connection connected, starting ServerProxy");
        checkpoint(747, CheckpointFile::NATIVE_CLIENT);
        proxy->start(-1);
        return;
    }
    logError("Can't connect incoming request, ignoring it");
    if (bridge != nullptr) {
        try {
            bridge->close(false);
        } catch (const Poco::Exception& e) {
            if (isDebugEnabled()) logDebug(name() + ": Closing js-bridge socket: " + e.displayText());
        }
    }
    shutdownServerProxy();
}

bool NativeClient::handleServerSessionFinished(BaseEvent* base) {
    auto* event = static_cast<NativeClientServerSessionFinishedEvent*>(base);
    if (isExitEvent(*event)) {
        logDebug(name() + ": NativeClient shutdown requested");
        shutdownServerProxy();
        return true;
    }
    ScopedOwnerLock guard(currentProxyLock);
    if (currentProxy_ != nullptr && currentProxy_->name() == event->proxyName) {
        const std::string ended = shutdownServerProxy();
        std::string text = ended.empty() ? name() + ": Terminated" : name() + ": Session " + ended + " terminated";
        if (!event->reason.empty()) text += ", reason \"" + event->reason + "\"";
        logDebug(text);
    } else if (currentProxy_ != nullptr) {
        logDebug(name() + ": ServerProxy '" + event->proxyName + "' shutdown requested, ServerProxy '" +
                 currentProxy_->name() + "' running");
    } else {
        logDebug(name() + ": ServerProxy '" + event->proxyName + "' shutdown requested, server already exited");
    }
    return false;
}

void NativeClient::handleScreenClosed(BaseEvent* base) {
    auto* event = static_cast<NativeClientScreenClosedEvent*>(base);
    ScopedOwnerLock guard(currentProxyLock);
    if (currentProxy_ == nullptr) return;
    logDebug(name() + ": Received screen closed event");
    currentProxy_->postEvent(new NativeClientScreenClosedEvent(event->screen));
    checkpoint(721, CheckpointFile::NATIVE_CLIENT);
}

std::string NativeClient::shutdownServerProxy() {
    ScopedOwnerLock guard(currentProxyLock);
    if (currentProxy_ == nullptr) {
        if (isTraceEnabled()) logTrace(name() + ": ServerProxy already terminated");
        return std::string();
    }
    const std::string result = currentProxy_->name();
    delete currentProxy_;
    currentProxy_ = nullptr;
    if (isDebugEnabled()) logDebug(name() + ": ServerProxy '" + result + "' shutdown");
    return result;
}

bool sendKeyEvent(const std::string& code, const std::string& key, bool keyUp, bool shift, bool ctrl, bool alt,
                  bool meta) {
    ScopedOwnerLock guard(currentProxyLock);
    QorMessage message(MessageType::CLNT_KEY);
    message.setMember(QOR_KEY_KEY, key);
    message.setMember(QOR_KEY_UTF16, std::int64_t{0});
    message.setMember(QOR_KEY_CODE, code);
    message.setMember(QOR_KEY_EVENT, std::string(keyUp ? "keyup" : "keydown"));
    message.setMember(QOR_KEY_OS, std::string("Windows"));
    const std::int64_t mods = (shift ? 8 : 0) | (ctrl ? 2 : 0) | (alt ? 1 : 0) | (meta ? 4 : 0);
    message.setMember(QOR_KEY_MODIFIERS, mods);
    NativeClientServerProxy* proxy = NativeClient::instance()->currentProxy();
    if (proxy == nullptr) {
        componentDebug(LogComponentMask::NET, "Not sending key, client not connected");
        return false;
    }
    proxy->sendCtrl(message.toJson(), "keyEvent", false);
    return true;
}

void postScreenClosed(std::int32_t screen) {
    NativeClient::instance()->postEvent(new NativeClientScreenClosedEvent(screen));
}

std::string buildClientFeatures() {
    Poco::JSON::Array::Ptr list = new Poco::JSON::Array;
    std::int64_t features = 0;
    for (const VideoEncodingSpec& spec : supportedEncodings) {
        const std::string text = formatSpecCodes(spec);
        if (text == "9,125,8" || text == "6,6,8") features |= FEATURE_LOSSLESS;
        list->add(text);
    }
    if ((features & FEATURE_LOSSLESS) != 0) componentDebug(LogComponentMask::LOSSLESS, "NativeClient feature: lossless");
    QorMessage message(MessageType::NATIVE_CLIENT_FEATURES);
    message.setMember(QOR_VCONF_LIST, list);
    message.setMember(QOR_VCONF, clientEncoding.effectiveString());
    features |= FEATURE_ALWAYS;
    if (vhIntegrationEnabled.load()) {
        componentDebug(LogComponentMask::VH, "NativeClient feature: VirtualHere integration");
        features |= FEATURE_USB;
    } else {
        const std::string text = "NativeClient feature: VirtualHere integration (disabled)";
        componentLog(LogComponentMask::VH, 4, text);
    }
    message.setMember(QOR_NATIVE_CLIENT_FEATURES, features);
    const std::string json = message.toJson();
    if (isDebugEnabled()) logDebug("Supported features/encodings: " + json);
    return json;
}

void setClientError(std::int32_t code) {
    if (isDebugEnabled()) logDebug("Setting error to " + std::to_string(code));
    clientErrorCode.store(code);
}

bool testClientError(std::int32_t mask) { return (clientErrorCode.load() & mask) != 0; }

void stopNativeClient() {
    if (isDebugEnabled()) logDebug("Stopping NativeClient");
    if (theInstance != nullptr) {
        theInstance->postEvent(new NativeClientServerSessionFinishedEvent(EXIT_REASON, std::string()));
        theInstance->stopEventLoop();
        // Whatever the loop did not take (or all of it, when the thread
        // never ran) goes now, with the proxy.
        theInstance->drainAfterStop();
    }
    stopUsbSupport();
}

} // namespace qor
