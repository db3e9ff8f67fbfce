// Control messages as the page and the server send them: each line of the
// input is one message, parsed by QorMessage and handed to the dispatch of
// a server proxy, and those for screen 0 also to the handler of screen 0's
// session (the dispatch routes a message by its screen). Neither is started
// (as in the dispatch tests), and there is no server: the port the
// connections would use refuses them at once. The window of screen 0 is
// there when its stream parameters come (a canvas as in the connection
// tests), so that the screen's decoder starts on it at once.
// Whatever the text, the dispatch must neither crash nor hang, and a parsed
// message must come out of toJson as JSON that parses to the same message.
#include "CanvasRegistry.h"
#include "ControlMessageTypes.h"
#include "ControlProtocolState.h"
#include "FakeCanvas.h"
#include "FuzzSupport.h"
#include "NativeClientVHSupport.h"
#include "NativeClientServerProxy.h"
#include "NativeClientSession.h"
#include "ProtocolKeys.h"
#include "QorCanvasListEntry.h"
#include "QorMessage.h"
#include "ServerConnectionValues.h"
#include "StreamDecoder.h"
#include "VHSupport.h"

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>

#include <memory>
#include <vector>

using namespace qor;

namespace {

// The most messages taken from one input.
constexpr std::size_t MAX_MESSAGES = 64;

// A bound loopback port that never listens: a connection to it is refused
// at once, and no other process can take it while it is bound.
Poco::Net::ServerSocket& refusingPort() {
    static Poco::Net::ServerSocket* socket = [] {
        auto* bound = new Poco::Net::ServerSocket;
        bound->bind(Poco::Net::SocketAddress("127.0.0.1", 0), false, false);
        return bound;
    }();
    return *socket;
}

// The windows of one input; the registry never owns them.
class Windows {
public:
    Windows() { offer(CANVAS_ID_UNASSIGNED); }
    ~Windows() {
        {
            ScopedOwnerLock guard(canvasRegistryLock);
            for (auto& entry : canvasRegistry) delete entry.second;
            canvasRegistry.clear();
        }
        for (FakeCanvas* canvas : canvases_) delete canvas;
    }
    // A window for screen 0 when stream parameters come, unless one waits.
    void offerFor(const QorMessage& message) {
        try {
            if (message.hasMember(QOR_MSG_TYPE) && message.getType() == MessageType::SVR_VS_PARAM) offer(0);
        } catch (...) {
        }
    }

private:
    void offer(int id) {
        ScopedOwnerLock guard(canvasRegistryLock);
        if (canvasRegistry.count(id) != 0) return;
        canvases_.push_back(new FakeCanvas(id));
        addCanvasUnlocked(canvases_.back());
    }
    std::vector<FakeCanvas*> canvases_;
};

// The dispatch would hand the message to the session of screen 0.
bool forScreenZero(const QorMessage& message) {
    try {
        return message.hasMember(QOR_MSG_SCREEN_ID) && message.getInt(QOR_MSG_SCREEN_ID) == 0;
    } catch (...) {
        return false;
    }
}

void checkRoundTrip(const QorMessage& message) {
    const std::string json = message.toJson();
    QorMessage again;
    if (!again.parse(json)) fuzz::fail("toJson gave text the parser refuses: " + json);
    if (again.toJson() != json) fuzz::fail("toJson changed on the way back: " + json + " -> " + again.toJson());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::discardLogs("trace");
    serverIsSecure.store(false);
    serverPort.store(refusingPort().address().port());
    // OpenH264 only: it is set up in a fraction of the time FFmpeg takes,
    // and the decoders themselves have harnesses of their own.
    DecoderRegistrationConfig decoders;
    decoders.settings.readBool = [](const std::string& key, bool) { return key == "Client.Decoder.OpenH264.enabled"; };
    if (!StreamDecoder::registerDecoders(decoders)) fuzz::fail("no stream decoder registered");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // What one connection's messages change for the process starts afresh.
    screenCount.store(1);
    networkProtocolMajor.store(NativeClientServerProxy::CLIENT_PROTOCOL_MAJOR);
    // USB forwarding on, the daemon taken to run: its absence shows only as
    // refused exchanges, and the daemon is given up after three of them.
    vhIntegrationEnabled.store(true);
    vhProxyRunning.store(true);
    clientErrorCode.store(0);

    Windows windows;
    std::unique_ptr<NativeClientServerProxy> proxy(new NativeClientServerProxy("127.0.0.1"));
    std::unique_ptr<NativeClientSession> session(new NativeClientSession(proxy.get(), 0));
    for (const std::string& text : fuzz::splitInput(data, size, "\n", MAX_MESSAGES)) {
        QorMessage message;
        if (!message.parse(text)) {
            proxy->dispatchCtrlMessage(message);
            continue;
        }
        checkRoundTrip(message);
        if (forScreenZero(message)) windows.offerFor(message);
        proxy->dispatchCtrlMessage(message);
        if (forScreenZero(message)) session->handleSessionMessage(message);
    }
    session.reset();
    proxy.reset();
    return 0;
}
