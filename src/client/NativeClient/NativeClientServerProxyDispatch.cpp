// The control protocol of a server proxy: the version gate, the dispatch of
// the page's messages by type and their handlers.
#include "NativeClientServerProxy.h"

#include "CanvasRegistry.h"
#include "QorCanvas.h"
#include "ClientSettings.h"
#include "ControlMessageTypes.h"
#include "ControlProtocolState.h"
#include "Logging.h"
#include "MessageTypeNames.h"
#include "NativeClient.h"
#include "NativeClientErrorEvent.h"
#include "NativeClientJSONDataFrameEvent.h"
#include "NativeClientScreenSessionFinishedEvent.h"
#include "NativeClientSession.h"
#include "NativeClientVHSupport.h"
#include "ProtocolKeys.h"
#include "ProtocolReading.h"
#include "QorMessage.h"
#include "QorTunnelInterface.h"
#include "QorWebSocket.h"
#include "ScopedLinkTimeout.h"
#include "ServerConnectionValues.h"
#include "UsbControlMessages.h"
#include "VHProxySupport.h"
#include "VHSupport.h"
#include "Utilities.h"

#include <Poco/Exception.h>

#include <algorithm>
#include <functional>

namespace qor {

namespace {

using namespace MessageType;

std::string versionText(int major, int minor) { return std::to_string(major) + "." + std::to_string(minor); }

} // namespace

bool NativeClientServerProxy::dispatchCtrlMessage(const QorMessage& message) {
    // The gate belongs to this connection: a server of another major
    // version closes it for its own messages only.
    const std::int32_t major = protocolMajor_.load();
    if (major != CLIENT_PROTOCOL_MAJOR) {
        logCritical("Message format version mismatch, received '" + std::to_string(major) + "', client supports '" +
                    std::to_string(CLIENT_PROTOCOL_MAJOR) + "'");
        return false;
    }
    if (message.isEmpty() || !message.hasMember(QOR_MSG_TYPE)) {
        logCritical("Message type missing, " + (message.isEmpty() ? std::string() : message.toJson()));
        return false;
    }
    int type = 0;
    if (!readMessageType(message, type)) return false;
    const std::string json = message.toJson();
    if (type != SVR_STAT_REQUEST && type != MU_SVR_KBM_CTRL && isDebugEnabled())
        logDebug(name() + ": Processing " + json + ", type " + std::to_string(type));
    try {
        switch (type) {
        case CLNT_CLOSE:
            // Sessions exist only in the slots, whatever number of screens
            // the server announced.
            for (std::int32_t i = 0; i < std::min(screenCount.load(), SESSION_SLOTS); ++i)
                if (NativeClientSession* session = sessionAt(i))
                    session->postEvent(new NativeClientScreenSessionFinishedEvent("Client closed", i));
            return true;
        case SVR_CLNT_ID: {
            if (isDebugEnabled()) logDebug(name() + ": Received client id");
            const bool result = handleClientId(message);
            if (vhIntegrationEnabled.load()) setupVHTunnel();
            // Up, refused, or none for a guest: no tunnel is coming now.
            usbTunnelComing_.store(false);
            updateWebClient(buildClientFeatures(), true);
            return result;
        }
        case SVR_SERVER_PARAM:
            return handleServerParamMessage(message);
        case MU_SVR_KBM_CTRL:
            return handleKbmCtrl(message);
        case TUN_CTRL:
            return dispatchTunnelCtrl(message);
        case VHMessageType::VH_LIST_DEVICES:
        case VHMessageType::VH_CONNECT_DEVICE:
        case VHMessageType::VH_DISCONNECT_DEVICE:
            return dispatchUsbMessage(type, message);
        case CLNT_VIDEO_SETUP:
        case SVR_VS_PARAM:
        case SVR_ERROR:
        case SVR_STAT_REQUEST:
            return dispatchScreenMessage(type, message);
        default:
            logError(name() + ": Message (type '" + std::to_string(type) + "' not handled " + json);
            return false;
        }
    } catch (...) {
        logError(name() + ": Error processing request (type '" + std::to_string(type) + "')");
        return false;
    }
}

bool NativeClientServerProxy::handleServerParamMessage(const QorMessage& message) {
    const bool debug = isDebugEnabled();
    if (!parseServerParam(message)) {
        if (debug) logDebug(name() + ": Error parsing server parameter");
        requestStop();
        return false;
    }
    if (debug) logDebug(name() + ": Received server parameter");
    if (screenCount.load() != 1) {
        relabelCanvas(CANVAS_ID_UNASSIGNED, CANVAS_ID_CONTROL_WINDOW);
    } else if (!relabelCanvas(CANVAS_ID_UNASSIGNED, 0)) {
        relabelCanvas(CANVAS_ID_CONTROL_WINDOW, 0);
    }
    if (debug) logDebug(name() + ": Server parameter evaluated");
    return true;
}

bool NativeClientServerProxy::handleClientId(const QorMessage& message) {
    const std::string json = message.toJson();
    // A client id that cannot stand in a server path refuses the message
    // before any of it takes effect.
    std::string newClientId;
    const bool hasClientId = message.hasMember(QOR_CLNT_ID_CLIENT_ID);
    if (hasClientId) {
        newClientId = message.getString(QOR_CLNT_ID_CLIENT_ID);
        if (!checkClientId(newClientId, "the server")) return false;
    }
    // A version text under its key or its older key; "-1.-1" when missing.
    auto versionMember = [&](const char* key, const char* olderKey, const std::string& what) {
        if (message.hasMember(key)) return message.getString(key);
        if (message.hasMember(olderKey)) return message.getString(olderKey);
        logCritical(name() + ": " + what + " missing in message, " + json);
        return std::string("-1.-1");
    };
    const std::string protocolText = versionMember(QOR_CLNT_ID_NET_PROT_VER, QOR_CLNT_ID_NETPROT, "Protocol version");
    int major = -1;
    int minor = -1;
    parseMajorMinor(protocolText, major, minor);
    protocolMajor_.store(major);
    networkProtocolMajor.store(major);
    networkProtocolMinor.store(minor);

    const std::string serverVersion = versionMember(QOR_CLNT_ID_SVR_VERSION, QOR_CLNT_ID_SRVVER, "Server version");
    int versionMajor = -1;
    int versionMinor = -1;
    int patch = -1;
    parseMajorMinorPatch(serverVersion, versionMajor, versionMinor, patch);
    serverVersionMajor.store(versionMajor);
    serverVersionMinor.store(versionMinor);

    if (major != CLIENT_PROTOCOL_MAJOR) {
        logCritical(name() + ": Server version \"" + serverVersion + "\" is not compatible with client version \"" +
                    getClientVersion() + "\"");
        if (isDebugEnabled())
            logDebug(name() + ": Server network protocol version \"" + protocolText +
                     "\" is not compatible with client network protocol version \"" +
                     versionText(CLIENT_PROTOCOL_MAJOR, CLIENT_PROTOCOL_MINOR) + "\"");
        postEvent(new NativeClientErrorEvent("Connection to server not supported, please upgrade client", 1, -1));
        return false;
    }
    if (minor == CLIENT_PROTOCOL_MINOR) {
        if (isTraceEnabled())
            logTrace("Protocol versions: client " + versionText(CLIENT_PROTOCOL_MAJOR, CLIENT_PROTOCOL_MINOR) +
                     ", server: " + versionText(major, minor));
    } else if (vhIntegrationEnabled.load()) {
        logWarning("Protocol version mismatch client: " + versionText(CLIENT_PROTOCOL_MAJOR, CLIENT_PROTOCOL_MINOR) +
                   ", server " + protocolText + ", server version " + serverVersion);
        logWarning("Disabling USB integration");
        vhIntegrationEnabled.store(false);
        setClientError(2);
    }
    if (serverVersion != getClientVersion()) logNotice("Connected to server with version " + serverVersion);
    if (message.hasMember(QOR_CLNT_ID_SVR_BUILD_OS) && isDebugEnabled())
        logDebug("Server build '" + message.getString(QOR_CLNT_ID_SVR_BUILD_OS) + "'");
    if (message.hasMember(QOR_CLNT_ID_SVR_OS)) logNotice("Server OS '" + message.getString(QOR_CLNT_ID_SVR_OS) + "'");
    if (message.hasMember(QOR_SVR_VIDEO_PAUSED)) {
        try {
            serverVideoPaused.store(message.getBool(QOR_SVR_VIDEO_PAUSED));
        } catch (...) {
            logError(invalidValueText(QOR_SVR_VIDEO_PAUSED, "QOR_SVR_VIDEO_PAUSED"));
            return false;
        }
    } else {
        logCritical("Information about video state (video paused?) missing in message, " + json);
    }
    if (hasClientId) {
        clientId_.set(newClientId);
    } else {
        logCritical("ClientID missing in message, " + json);
    }
    if (message.hasMember(QOR_CLNT_ID_IS_HOST)) clientIsHost_ = message.getBool(QOR_CLNT_ID_IS_HOST);
    return true;
}

bool NativeClientServerProxy::parseServerParam(const QorMessage& message) {
    const bool debug = isDebugEnabled();
    if (debug) logDebug("Parsing server parameter message");
    const std::string prefix = name() + ": ";
    auto missing = [&](const char* symbol) {
        return [=] {
            if (debug) logDebug(prefix + "Server '" + symbol + "' parameter missing");
        };
    };
    // Each member is optional; the first unreadable one ends the parse and
    // what was stored before it stays.
    struct Member {
        const char* key;
        const char* symbol;
        std::function<void()> store;
        std::function<void()> whenMissing;
    };
    const Member members[] = {
        {QOR_SVR_PARAM_INPUT_CONTROL, "QOR_SVR_PARAM_INPUT_CONTROL",
         [&] { serverInputControl.store(message.getBool(QOR_SVR_PARAM_INPUT_CONTROL)); },
         missing("QOR_SVR_PARAM_INPUT_CONTROL")},
        {QOR_SVR_PARAM_LOCALCURSOR, "QOR_SVR_PARAM_LOCALCURSOR",
         [&] { serverLocalCursor.store(message.getBool(QOR_SVR_PARAM_LOCALCURSOR)); },
         missing("QOR_SVR_PARAM_LOCALCURSOR")},
        {QOR_SVR_PARAM_NUM_SCREENS, "QOR_SVR_PARAM_NUM_SCREENS",
         [&] {
             screenCount.store(message.getInt(QOR_SVR_PARAM_NUM_SCREENS));
             if (debug)
                 logDebug(prefix + "Server has " + std::to_string(screenCount.load()) +
                          " screen currently configured");
         },
         missing("QOR_SVR_PARAM_NUM_SCREENS")},
        {QOR_SVR_PARAM_ALLOWED_USBDEVS, "QOR_SVR_PARAM_ALLOWED_USBDEVS",
         [&] {
             const std::string list = message.getString(QOR_SVR_PARAM_ALLOWED_USBDEVS);
             setAllowedUsbDevicesText(list);
             if (debug) logDebug(prefix + "Server allows devices in this list to connect '" + list + "'");
         },
         [&] {
             componentTrace(LogComponentMask::VH, prefix +
                                                      "Server 'QOR_SVR_PARAM_ALLOWED_USBDEVS' not defined, no device "
                                                      "allow list filter enabled");
         }},
        {QOR_SVR_PARAM_SHOW_ALL_USBDEVS, "QOR_SVR_PARAM_SHOW_ALL_USBDEVS",
         [&] { ::showAllUsbDevices.store(message.getInt(QOR_SVR_PARAM_SHOW_ALL_USBDEVS) != 0); }, [] {}},
        {QOR_SVR_PARAM_FEATURES, "QOR_SVR_PARAM_FEATURES",
         [&] { serverFeatures.store(message.getInt(QOR_SVR_PARAM_FEATURES)); }, missing("QOR_SVR_PARAM_FEATURES")},
    };
    for (const Member& member : members) {
        if (!message.hasMember(member.key)) {
            member.whenMissing();
            continue;
        }
        try {
            member.store();
        } catch (...) {
            logError(prefix + invalidValueText(member.key, member.symbol));
            return false;
        }
    }
    return true;
}

bool NativeClientServerProxy::handleKbmCtrl(const QorMessage& message) {
    if (!message.hasMember(QOR_MU_SVR_KBM_CTRL_VAL)) {
        logCritical("ControlRequest value missing, " + message.toJson());
        return false;
    }
    try {
        kbmControl.store(message.getBool(QOR_MU_SVR_KBM_CTRL_VAL));
    } catch (...) {
        logError(invalidValueText(QOR_MU_SVR_KBM_CTRL_VAL, "QOR_MU_SVR_KBM_CTRL_VAL"));
        return false;
    }
    return true;
}

bool NativeClientServerProxy::dispatchTunnelCtrl(const QorMessage& message) {
    const std::string json = message.toJson();
    const std::string prefix = name() + ": ";
    componentDebug(LogComponentMask::VH, prefix + "Received message " + json);
    if (!message.hasMember(QOR_TUN_ID)) {
        logCritical(prefix + "QOR_TUN_ID value missing, " + json);
        return false;
    }
    const std::string id = message.getString(QOR_TUN_ID);
    if (!message.hasMember(QOR_TUN_CMD)) {
        logCritical(prefix + "QOR_TUN_CMD value missing, " + json);
        return false;
    }
    int command = 0;
    try {
        command = message.getInt(QOR_TUN_CMD);
    } catch (...) {
        logError(prefix + invalidValueText(QOR_TUN_CMD, "QOR_TUN_CMD"));
        return false;
    }
    switch (command) {
    case 0:
        return setupTunnel(0, id, clientVirtualHereServerPort.get(), clientVirtualHereClientPort.get());
    case 1:
        if (tunnel_ == nullptr) {
            logError(prefix + "Tunnel not connected");
            return false;
        }
        logNotice(prefix + "Disconnecting tunnel to server");
        // The deletion joins the thread, and does not wait for ever on a
        // peer that stopped reading.
        tunnel_->stop(false, false);
        deleteTunnel();
        return true;
    default:
        logError(prefix + "Retrieved invalid value " + std::to_string(command) + " for " + QOR_TUN_CMD +
                 " (QOR_TUN_CMD)");
        return false;
    }
}

bool NativeClientServerProxy::dispatchUsbMessage(int type, const QorMessage& message) {
    componentDebug(LogComponentMask::VH, name() + ": Received VirtualHere control message " + messageTypeName(type) +
                                             ": " + message.toJson());
    if (!vhIntegrationEnabled.load()) {
        // The page learns that its request goes nowhere.
        const std::string reason = usbDisabledReason();
        refuseVHRequest(message, 4, VHReplyCode::ForwardingDisabled,
                        "USB forwarding is disabled" + (reason.empty() ? std::string() : ": " + reason));
        return false;
    }
    // The page's request holds up this connection's end: its exchanges with
    // the daemon are bounded as the poll thread's are.
    ScopedLinkTimeout bound(usbExchangeTimeoutMs);
    {
        // The check and the launch are one step for the daemon's control.
        ScopedOwnerLock guard(vhProxyControlLock());
        if (!ensureVHProxyProcess()) {
            componentDebug(LogComponentMask::VH, name() + ": Starting 'vhproxy service'");
            launchVHProxy();
        }
    }
    return handleVHRequest(message);
}

bool NativeClientServerProxy::dispatchScreenMessage(int type, const QorMessage& message) {
    const std::string json = message.toJson();
    const std::string prefix = name() + ": ";
    if (!message.hasMember(QOR_MSG_SCREEN_ID)) {
        logCritical(prefix + "Session id missing: " + json);
        return false;
    }
    std::int32_t index = 0;
    try {
        index = message.getInt(QOR_MSG_SCREEN_ID);
    } catch (...) {
        logError(prefix + invalidValueText(QOR_MSG_SCREEN_ID, "QOR_MSG_SCREEN_ID"));
        return false;
    }
    const std::string indexText = std::to_string(index);
    if (isTraceEnabled()) logTrace(prefix + "Received message " + messageTypeName(type) + " for session " + indexText);
    NativeClientSession* session = sessionAt(index);
    switch (type) {
    case CLNT_VIDEO_SETUP: {
        if (session != nullptr) {
            logError(prefix + "Session already initialized " + indexText);
            return false;
        }
        if (index < 0 || index >= screenCount.load() || index >= SESSION_SLOTS) {
            logError("Too many sessions allocated, current request: " + indexText);
            return false;
        }
        if (!sessions_) {
            try {
                sessions_.reset(new std::array<NativeClientSession*, SESSION_SLOTS>());
            } catch (const std::bad_alloc&) {
                logCritical("Malloc error during CLNT_VIDEO_SETUP processing");
                return false;
            }
            sessions_->fill(nullptr);
        }
        session = new NativeClientSession(this, index);
        storeSession(index, session);
        session->start(-1);
        session->postEvent(new NativeClientJSONDataFrameEvent(message, "Session id"));
        return true;
    }
    case SVR_VS_PARAM:
        if (session == nullptr) {
            logError(prefix + "Can't find session " + indexText);
            return false;
        }
        if (session->videoSocket() == nullptr) {
            if (isDebugEnabled()) logDebug(prefix + "Connecting video socket to server for session " + indexText);
            QorWebSocket* socket = connectVideoSocket(index);
            if (socket == nullptr) {
                logError(prefix + "Error connecting video connection to server");
                requestStop();
                return false;
            }
            session->setVideoSocket(socket);
        }
        session->postEvent(new NativeClientJSONDataFrameEvent(message, "VS parameter"));
        return true;
    case SVR_ERROR:
        postEvent(new NativeClientScreenSessionFinishedEvent("Server error", index));
        if (index <= -1) return true;
        if (session == nullptr) {
            if (isDebugEnabled()) logDebug(prefix + "Can't find session " + indexText);
            return false;
        }
        session->postEvent(new NativeClientScreenSessionFinishedEvent("Server error", index));
        return true;
    default: // SVR_STAT_REQUEST
        if (session == nullptr) {
            if (isDebugEnabled()) logDebug(prefix + "Couldn't find session " + indexText);
            return false;
        }
        session->postEvent(new NativeClientJSONDataFrameEvent(message, "Session message"));
        return true;
    }
}

bool NativeClientServerProxy::sendResync(std::int32_t screen) {
    if (isDebugEnabled()) logDebug(name() + ": Sending resync signal");
    QorMessage resync(CLNT_RESYNC);
    resync.setMember(QOR_MSG_SCREEN_ID, std::int64_t{screen});
    sendCtrl(resync.toJson(), "Send resync", true);
    return true;
}

void NativeClientServerProxy::warnUsbModuleVersion() {
    std::string text;
    std::int32_t code = 0;
    if (testClientError(1)) {
        text = "Update Quarrydesk Client USB Module to version " + getClientVersion() + " to enable USB Forwarding.";
        code = 1;
    } else if (testClientError(2)) {
        text = "Quarrydesk must be updated to version 13.1 or later to enable USB Forwarding";
        code = 2;
    }
    if (!text.empty()) {
        if (isDebugEnabled()) logDebug("Sending warning to web-client: " + text);
        sendClientUpdate(code, text, 6000);
    }
    usbWarningSent_ = true;
}

} // namespace qor
