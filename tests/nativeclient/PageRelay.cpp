#include "PageRelay.h"

#include "FakeServer.h"

#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/JSON/Stringifier.h>

#include <sstream>

namespace {

std::string stringify(const Poco::Dynamic::Var& value) {
    std::ostringstream out;
    Poco::JSON::Stringifier::condense(value, out);
    return out.str();
}

// Carries messages between the server's page socket and the bridge in both
// directions, as the desk page's script does, and keeps what the server
// reported to the page.

} // namespace

PageRelay::PageRelay(Poco::Net::WebSocket& pageSocket, Poco::Net::WebSocket& bridge) : page_(pageSocket), bridge_(bridge) {
    toClient_ = std::thread([this] { relayToClient(); });
    toServer_ = std::thread([this] { relayToServer(); });
}

PageRelay::~PageRelay() { stop(); }

void PageRelay::stop() {
    stopping_.store(true);
    if (toClient_.joinable()) toClient_.join();
    if (toServer_.joinable()) toServer_.join();
}

void PageRelay::sendToServer(const std::string& text) {
    std::lock_guard<std::mutex> lock(sendMutex_);
    sendTextFrame(page_, text);
}

bool PageRelay::sendToClient(const std::string& text) {
    std::lock_guard<std::mutex> lock(bridgeSendMutex_);
    if (bridgeClosed_.load()) return false;
    sendTextFrame(bridge_, text);
    return true;
}

std::vector<std::string> PageRelay::clientMessageTexts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return fromClient_;
}

int PageRelay::count(const std::string& kind, const std::string& fragment) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const auto& m : fromServer_)
        if (m.find("\"kind\":\"" + kind + "\"") != std::string::npos && m.find(fragment) != std::string::npos) ++n;
    return n;
}

int PageRelay::clientMessages(const std::string& fragment) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const auto& m : fromClient_)
        if (m.find(fragment) != std::string::npos) ++n;
    return n;
}

void PageRelay::relayToClient() {
    while (!stopping_.load()) {
        const std::string text = readTextFrame(page_, 200);
        if (text.empty()) continue;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            fromServer_.push_back(text);
        }
        Poco::JSON::Object::Ptr message =
            Poco::JSON::Parser().parse(text).extract<Poco::JSON::Object::Ptr>();
        if (message->getValue<std::string>("kind") == "relay") sendToClient(stringify(message->get("message")));
    }
}

void PageRelay::relayToServer() {
    bridge_.setReceiveTimeout(Poco::Timespan(0, 200000));
    std::vector<char> buffer(1 << 20);
    while (!stopping_.load() && !bridgeClosed_.load()) {
        int flags = 0;
        int n = 0;
        try {
            n = bridge_.receiveFrame(buffer.data(), static_cast<int>(buffer.size()), flags);
        } catch (const Poco::TimeoutException&) {
            continue;
        } catch (const Poco::Exception&) {
            bridgeClosed_.store(true);
            break;
        }
        const int opcode = flags & Poco::Net::WebSocket::FRAME_OP_BITMASK;
        if ((n == 0 && flags == 0) || opcode == Poco::Net::WebSocket::FRAME_OP_CLOSE) {
            bridgeClosed_.store(true);
            break;
        }
        if (opcode != Poco::Net::WebSocket::FRAME_OP_TEXT) continue;
        const std::string text(buffer.data(), static_cast<std::size_t>(n));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            fromClient_.push_back(text);
        }
        sendToServer("{\"kind\":\"client\",\"message\":" + text + "}");
    }
}
