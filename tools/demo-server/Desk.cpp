#include "Desk.h"

#include <Poco/Buffer.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/NetException.h>

#include <chrono>
#include <sstream>

using Poco::JSON::Object;
using Poco::Net::WebSocket;

namespace {

// Control message types (the "type" member).
constexpr int kClntKey = 2;
constexpr int kClntVideoSetup = 12;
constexpr int kClntStartVs = 14;
constexpr int kClntStats = 16;
constexpr int kClntAckStat = 22;
constexpr int kClntResync = 30;
constexpr int kSvrClntId = 100;
constexpr int kSvrServerParam = 101;
constexpr int kSvrVsParam = 102;
constexpr int kSvrError = 109;
constexpr int kSvrStatRequest = 122;
constexpr int kTunCtrl = 300;
// USB sharing.
constexpr int kVhConnectDevice = 326;
constexpr int kVhDisconnectDevice = 327;
constexpr int kVhClientForceBindRequest = 330;
constexpr int kVhDeviceConnected = 332;
constexpr int kVhDeviceDisconnected = 333;
constexpr int kVhDeviceList = 325;

Object::Ptr message(int type) {
    Object::Ptr m = new Object(Poco::JSON_PRESERVE_KEY_ORDER);
    m->set("type", type);
    return m;
}

Object::Ptr envelope(const std::string& kind) {
    Object::Ptr e = new Object(Poco::JSON_PRESERVE_KEY_ORDER);
    e->set("kind", kind);
    return e;
}

std::string toText(const Object::Ptr& object) {
    std::ostringstream text;
    object->stringify(text);
    return text.str();
}

Object::Ptr parseObject(const std::string& text) {
    try {
        Poco::JSON::Parser parser;
        return parser.parse(text).extract<Object::Ptr>();
    } catch (...) {
        return nullptr;
    }
}

int intMember(const Object::Ptr& object, const std::string& key, int fallback) {
    try {
        if (object && object->has(key) && !object->isNull(key)) return object->getValue<int>(key);
    } catch (...) {
    }
    return fallback;
}

}  // namespace

Desk::Desk(std::string clientId, SignInSession session, const DemoOptions& options,
           std::vector<std::shared_ptr<const AccessUnitStream>> streams, Poco::Logger& logger)
    : clientId_(std::move(clientId)),
      session_(std::move(session)),
      options_(options),
      streams_(std::move(streams)),
      logger_(logger),
      usbPassive_(options.usbPassive),
      usbAllowListSet_(options.usbAllowListSet),
      usbAllowList_(options.usbAllowList),
      screens_(streams_.size()) {}

Desk::~Desk() {
    // The remote USB client reports to this desk until its thread has ended.
    std::unique_ptr<UsbRemoteClient> client;
    {
        std::lock_guard<std::mutex> lock(usbMutex_);
        client.swap(usbClient_);
    }
}

void Desk::attachPage(WebSocket* socket) {
    std::lock_guard<std::mutex> lock(pageMutex_);
    page_ = socket;
}

void Desk::detachPage() {
    std::lock_guard<std::mutex> lock(pageMutex_);
    page_ = nullptr;
}

bool Desk::sendToPage(const Object::Ptr& message) {
    const std::string text = toText(message);
    std::lock_guard<std::mutex> lock(pageMutex_);
    if (!page_) return false;
    try {
        page_->sendFrame(text.data(), static_cast<int>(text.size()), WebSocket::FRAME_TEXT);
        logger_.debug("Desk " + clientId_ + ": to page " + text);
        return true;
    } catch (const Poco::Exception& e) {
        logger_.warning("Desk " + clientId_ + ": cannot write to the page: " + e.displayText());
        return false;
    }
}

bool Desk::relay(const Object::Ptr& controlMessage) {
    Object::Ptr e = envelope("relay");
    e->set("message", controlMessage);
    return sendToPage(e);
}

bool Desk::status(const std::string& text) {
    Object::Ptr e = envelope("status");
    e->set("text", text);
    return sendToPage(e);
}

void Desk::handlePageMessage(const std::string& text) {
    // The page is not trusted: a message of the wrong shape is logged and dropped.
    try {
        Object::Ptr m = parseObject(text);
        const std::string kind = (m && m->has("kind")) ? m->getValue<std::string>("kind") : "";
        if (kind == "bridge") {
            logger_.information("Desk " + clientId_ + ": page bridge " + m->optValue<std::string>("state", "?") +
                                (m->has("detail") ? " (" + m->optValue<std::string>("detail", "") + ")" : ""));
        } else if (kind == "client") {
            logClientMessage(m->getObject("message"));
        } else if (kind == "usb-allow") {
            // The server's USB policy changes: a new parameter message tells the client.
            const std::string allowList = m->optValue<std::string>("text", "");
            {
                std::lock_guard<std::mutex> lock(usbMutex_);
                usbAllowListSet_ = true;
                usbAllowList_ = allowList;
            }
            Object::Ptr params = message(kSvrServerParam);
            addUsbParameters(params);
            usbEvent("allow list now '" + allowList + "'", false);
            relay(params);
        } else if (kind == "end-screen") {
            endScreen(intMember(m, "screen", -1), "ended from the page");
        } else if (kind == "tunnel") {
            // The server asks the client to set a tunnel up (0) or to remove it (1).
            Object::Ptr control = message(kTunCtrl);
            control->set("TunnelId", m->optValue<std::string>("name", "web"));
            control->set("TunnelCmd", intMember(m, "command", 0));
            logger_.information("Desk " + clientId_ + ": tunnel request " + toText(control));
            relay(control);
        } else if (kind == "log") {
            logger_.information("Desk " + clientId_ + ": page says " + m->optValue<std::string>("text", ""));
        } else {
            logger_.warning("Desk " + clientId_ + ": unknown page message " + text);
        }
    } catch (const Poco::Exception& e) {
        logger_.warning("Desk " + clientId_ + ": bad page message " + text + ": " + e.displayText());
    }
}

bool Desk::claimControl() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || controlAttached_) return false;
    controlAttached_ = true;
    // A new server connection of the client (the page's bridge was opened
    // again) starts the screens afresh.
    for (auto& screen : screens_) {
        screen.ended = false;
        screen.started = false;
        screen.restart = false;
    }
    return true;
}

void Desk::releaseControl() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        controlAttached_ = false;
        for (auto& screen : screens_) screen.ended = true;
    }
    changed_.notify_all();
}

void Desk::startScreens() {
    Object::Ptr id = message(kSvrClntId);
    id->set("NetProtVer", options_.protocolVersion);
    id->set("SvrVer", "14.0.0");
    id->set("ClntSvrOS", "Linux (demo server)");
    id->set("Paused", false);
    id->set("ClntID", clientId_);
    id->set("ClntIsHost", !session_.guest);
    relay(id);

    Object::Ptr params = message(kSvrServerParam);
    params->set("SvrPKBM", true);
    params->set("SvrPLCrs", false);
    params->set("SvrPNumScrs", screenCount());
    params->set("SvrPFeatures", 0);
    addUsbParameters(params);
    relay(params);

    for (int i = 0; i < screenCount(); ++i) {
        Object::Ptr setup = message(kClntVideoSetup);
        setup->set("session", i);
        relay(setup);

        const AccessUnitStream& stream = *streams_[static_cast<std::size_t>(i)];
        Object::Ptr vs = message(kSvrVsParam);
        vs->set("session", i);
        vs->set("SrvVSCnfNo", 1);
        vs->set("SrvVSFr", options_.framesPerSecond);
        vs->set("SrvVSQual", 21);
        vs->set("SrvVSWth", stream.format().width);
        vs->set("SrvVSHgt", stream.format().height);
        vs->set("SrvVSOWth", stream.format().width);
        vs->set("SrvVSOHgt", stream.format().height);
        vs->set("VConf", stream.encodingSpecText());
        relay(vs);
    }
}

void Desk::handleClientMessage(const std::string& text) {
    Object::Ptr m = parseObject(text);
    const int type = intMember(m, "type", -1);
    const int screen = intMember(m, "session", -1);
    switch (type) {
        case kClntStartVs:
            logger_.information("Desk " + clientId_ + ": client started screen " + std::to_string(screen));
            if (validScreen(screen)) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    screens_[static_cast<std::size_t>(screen)].started = true;
                }
                requestRestart(screen, "start");
            }
            break;
        case kClntResync:
            logger_.information("Desk " + clientId_ + ": client asked to resync screen " + std::to_string(screen));
            if (validScreen(screen)) requestRestart(screen, "resync");
            break;
        case kClntStats:
        case kClntAckStat: {
            logger_.debug("Desk " + clientId_ + ": statistics " + text);
            Object::Ptr e = envelope("stats");
            e->set("screen", screen);
            e->set("message", m);
            sendToPage(e);
            break;
        }
        case kClntKey:
            logger_.information("Desk " + clientId_ + ": key " + text);
            break;
        case kVhConnectDevice:
        case kVhDisconnectDevice:
        case kVhClientForceBindRequest:
        case kVhDeviceConnected:
        case kVhDeviceDisconnected:
            handleUsbMessage(type, m);
            break;
        default:
            if (!m) {
                logger_.warning("Desk " + clientId_ + ": control message is not a JSON object: " + text);
            } else {
                logger_.information("Desk " + clientId_ + ": control message not handled here: " + text);
            }
            break;
    }
}

bool Desk::claimVideo(int screen) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || !validScreen(screen)) return false;
    Screen& s = screens_[static_cast<std::size_t>(screen)];
    if (s.videoAttached || s.ended) return false;
    s.videoAttached = true;
    return true;
}

void Desk::requestRestart(int screen, const char* why) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        screens_[static_cast<std::size_t>(screen)].restart = true;
    }
    logger_.debug("Desk " + clientId_ + ": screen " + std::to_string(screen) + " restarts at a key unit (" + why + ")");
    changed_.notify_all();
}

void Desk::endScreen(int screen, const std::string& reason) {
    if (!validScreen(screen)) {
        logger_.warning("Desk " + clientId_ + ": cannot end screen " + std::to_string(screen) + ", no such screen");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Screen& s = screens_[static_cast<std::size_t>(screen)];
        if (s.ended) return;
        s.ended = true;
    }
    changed_.notify_all();
    logger_.information("Desk " + clientId_ + ": screen " + std::to_string(screen) + " " + reason);
    Object::Ptr error = message(kSvrError);
    error->set("session", screen);
    relay(error);
}

void Desk::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

bool Desk::isClosed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

Object::Ptr Desk::statRequest(int screen, long long frameNo, int framesInInterval, long long bytesInInterval,
                              bool onlyAck) const {
    Object::Ptr request = message(kSvrStatRequest);
    request->set("session", screen);
    request->set("StatSvrFrNo", frameNo);
    request->set("StatOnlyAck", onlyAck);
    request->set("StatClCnt", 1);
    request->set("StatCFrmPI", framesInInterval);
    request->set("StatSFrmPI", options_.framesPerSecond);
    request->set("StatFrmPI", options_.framesPerSecond);
    request->set("StatBPI", bytesInInterval);
    return request;
}

bool Desk::drainIncoming(WebSocket& socket, int screen) {
    while (socket.poll(Poco::Timespan(0), Poco::Net::Socket::SELECT_READ)) {
        Poco::Buffer<char> buffer(0);
        int flags = 0;
        const int n = socket.receiveFrame(buffer, flags);
        const int opcode = flags & WebSocket::FRAME_OP_BITMASK;
        if (n <= 0 && opcode != WebSocket::FRAME_OP_PING && opcode != WebSocket::FRAME_OP_PONG) return true;
        if (opcode == WebSocket::FRAME_OP_CLOSE) return true;
        if (opcode == WebSocket::FRAME_OP_PING) {
            socket.sendFrame(buffer.begin(), n, WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_PONG);
        } else if (opcode != WebSocket::FRAME_OP_PONG) {
            logger_.debug("Desk " + clientId_ + ": screen " + std::to_string(screen) +
                          ": ignoring a message on the video socket");
        }
    }
    return false;
}

void Desk::streamVideo(int screen, WebSocket& socket, const std::atomic<bool>& stopping) {
    using Clock = std::chrono::steady_clock;
    const AccessUnitStream& stream = *streams_[static_cast<std::size_t>(screen)];
    const auto frameInterval = std::chrono::microseconds(1000000 / std::max(1, options_.framesPerSecond));
    const auto statInterval = std::chrono::milliseconds(std::max(50, options_.statIntervalMs));
    const std::string name = "Desk " + clientId_ + ": screen " + std::to_string(screen);

    std::size_t position = 0;
    auto nextFrame = Clock::now();
    auto nextStat = Clock::now() + statInterval;
    int framesInInterval = 0;
    long long bytesInInterval = 0;
    long long statCount = 0;
    bool announced = false;
    struct Detach {
        Desk& desk;
        int screen;
        ~Detach() {
            std::lock_guard<std::mutex> lock(desk.mutex_);
            desk.screens_[static_cast<std::size_t>(screen)].videoAttached = false;
        }
    } detach{*this, screen};

    for (;;) {
        if (drainIncoming(socket, screen)) {
            logger_.information(name + ": client closed the video socket");
            break;
        }
        {
            std::unique_lock<std::mutex> lock(mutex_);
            Screen& s = screens_[static_cast<std::size_t>(screen)];
            auto ready = [&] { return stopping || closed_ || s.ended || s.restart; };
            const auto wakeAt = s.started ? nextFrame : Clock::now() + std::chrono::milliseconds(200);
            changed_.wait_until(lock, std::min(wakeAt, Clock::now() + std::chrono::milliseconds(200)), ready);
            if (stopping || closed_ || s.ended) break;
            if (!s.started) continue;
            if (s.restart) {
                s.restart = false;
                position = stream.keyUnitAtOrBefore(position);
                nextFrame = Clock::now();
                logger_.debug(name + ": sending from key unit " + std::to_string(position));
            }
            if (Clock::now() < nextFrame) continue;
        }
        if (!announced) {
            logger_.information(name + ": streaming " + stream.name() + " at " +
                                std::to_string(options_.framesPerSecond) + " fps");
            announced = true;
        }
        const std::string& unit = stream.unit(position);
        socket.sendFrame(unit.data(), static_cast<int>(unit.size()), WebSocket::FRAME_BINARY);
        position = (position + 1) % stream.size();
        long long frameNo = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            frameNo = ++screens_[static_cast<std::size_t>(screen)].framesSent;
        }
        ++framesInInterval;
        bytesInInterval += static_cast<long long>(unit.size());

        const auto now = Clock::now();
        nextFrame += frameInterval;
        if (nextFrame + std::chrono::seconds(1) < now) nextFrame = now;  // fell far behind: do not burst
        if (now >= nextStat) {
            relay(statRequest(screen, frameNo, framesInInterval, bytesInInterval, statCount % 2 == 1));
            ++statCount;
            framesInInterval = 0;
            bytesInInterval = 0;
            nextStat = now + statInterval;
        }
    }
}

void Desk::addUsbParameters(Object::Ptr params) {
    std::lock_guard<std::mutex> lock(usbMutex_);
    if (usbAllowListSet_) params->set("SrvAllowedUSBDevs", usbAllowList_);
    params->set("SrvShowAllUSBDevs", options_.usbShowAll ? 1 : 0);
}

void Desk::attachUsbTunnel(const std::string& name, int port) {
    std::unique_ptr<UsbRemoteClient> previous;
    {
        std::lock_guard<std::mutex> lock(usbMutex_);
        previous.swap(usbClient_);
        usbTunnelName_ = name;
        usbClient_ = std::make_unique<UsbRemoteClient>(
            name, port, [this](const std::string& text, bool error) { usbEvent(text, error); });
    }
    previous.reset();
    usbEvent("USB tunnel " + name + " is up (127.0.0.1:" + std::to_string(port) + ")", false);
}

void Desk::detachUsbTunnel(const std::string& name) {
    std::unique_ptr<UsbRemoteClient> client;
    {
        std::lock_guard<std::mutex> lock(usbMutex_);
        if (usbTunnelName_ != name) return;
        client.swap(usbClient_);
        usbTunnelName_.clear();
    }
    client.reset();
    usbEvent("USB tunnel " + name + " closed", false);
}

void Desk::handleUsbMessage(int type, const Object::Ptr& m) {
    const std::string address = m->optValue<std::string>("VHDevAddress", "");
    const std::string name = m->optValue<std::string>("VHDevPrettyName", "");
    const std::string server = m->optValue<std::string>("VHSvrName", "");
    const std::string device = "'" + name + "' (" + address + ")";
    std::lock_guard<std::mutex> lock(usbMutex_);
    switch (type) {
        case kVhConnectDevice:
        case kVhDisconnectDevice: {
            const bool bind = type == kVhConnectDevice;
            usbEvent(std::string("client asks to ") + (bind ? "bind " : "release ") + device + " of USB server '" +
                         server + "'",
                     false);
            if (!usbClient_) {
                usbEvent(std::string("can't ") + (bind ? "bind " : "release ") + device + ": no USB tunnel", true);
            } else if (usbPassive_) {
                usbEvent(std::string("the remote USB client leaves the ") + (bind ? "bind" : "release") + " of " +
                             device + " pending",
                         false);
            } else if (bind) {
                usbClient_->attach(address, name);
            } else {
                usbClient_->detach(address, name);
            }
            break;
        }
        case kVhClientForceBindRequest:
            usbEvent("client asks the remote USB client to connect to USB server '" + server + "'", false);
            if (!usbClient_) {
                usbEvent("can't connect the remote USB client: no USB tunnel", true);
            } else {
                usbClient_->connect();
                if (!usbPassive_) usbClient_->catchUp();
            }
            break;
        case kVhDeviceConnected:
            usbEvent("client reports " + device + " bound", false);
            break;
        case kVhDeviceDisconnected:
            usbEvent("client reports " + device + " released" + (address.empty() ? " (unplugged)" : ""), false);
            break;
        default:
            break;
    }
}

void Desk::usbEvent(const std::string& text, bool error) {
    if (error)
        logger_.warning("Desk " + clientId_ + ": USB: " + text);
    else
        logger_.information("Desk " + clientId_ + ": USB: " + text);
    Object::Ptr e = envelope("usb");
    e->set("text", text);
    e->set("error", error);
    sendToPage(e);
}

void Desk::logClientMessage(const Object::Ptr& message) {
    if (!message) {
        logger_.information("Desk " + clientId_ + ": client told the page nothing");
        return;
    }
    const std::string text = toText(message);
    if (intMember(message, "type", -1) != kVhDeviceList) {
        logger_.information("Desk " + clientId_ + ": client told the page " + text);
        return;
    }
    // The device list comes every poll of the client: only changes and
    // errors are worth a line.
    const int errorType = intMember(message, "VHErrType", 0);
    if (errorType == 2 || errorType == 4) {
        logger_.warning("Desk " + clientId_ + ": client reports a USB error to the page: " + text);
        return;
    }
    std::lock_guard<std::mutex> lock(usbMutex_);
    if (text == lastDeviceList_) return;
    lastDeviceList_ = text;
    logger_.information("Desk " + clientId_ + ": client told the page " + text);
}
