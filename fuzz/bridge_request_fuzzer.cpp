// Whole requests to the running js-bridge over a real loopback connection:
// the bytes of the input go to the bridge's port as they are, except that
// each "NONCE" becomes the nonce the bridge expects next (as the page has
// it), so that requests also get past the nonce check. The connection is
// then half-closed and the answer read to its end. Accepted WebSockets go
// to an event thread in place of NativeClient, which checks what the bridge
// hands on (client id, path prefix: see BridgeChecks.h) and closes them.
#include "BridgeChecks.h"
#include "FuzzSupport.h"
#include "JsBridge.h"
#include "NativeClientWebSocketEvent.h"
#include "QorEventThread.h"
#include "QorWebSocket.h"

#include <Poco/Exception.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/String.h>
#include <Poco/Timespan.h>

#include <memory>

using namespace qor;

namespace {

// Stands in for NativeClient: checks and closes every socket handed over.
class SocketChecker : public QorEventThread {
public:
    SocketChecker() : QorEventThread(false) {
        setName("Checker");
        start(-1);
    }

    void eventLoop() override {
        while (isRunning()) {
            Poco::AutoPtr<BaseEvent> event = waitForEvent();
            if (!event || event->type() != NativeClientBaseEvent::WEB_SOCKET_CONNECTED) continue;
            auto& connected = static_cast<NativeClientWebSocketEvent&>(*event);
            std::unique_ptr<QorWebSocket> socket(connected.takeSocket().release());
            fuzz::checkClientId(connected.clientId, "an accepted request");
            fuzz::checkPathPrefix(serverPathPrefix(), "an accepted request");
            try {
                socket->close(false);
            } catch (const Poco::Exception&) {
            }
        }
    }
};

constexpr int ANSWER_TIMEOUT_S = 10;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::discardLogs("trace");
    static SocketChecker* checker = new SocketChecker;
    static JsBridge bridge;
    bridge.startBridgeServer(checker);
    renewBridgeNonce();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string request =
        Poco::replace(std::string(reinterpret_cast<const char*>(data), size), std::string("NONCE"), bridgeNonce());
    Poco::Net::StreamSocket socket;
    try {
        socket.connect(Poco::Net::SocketAddress("127.0.0.1", bridgePort.load()));
        socket.setNoDelay(true);
        for (std::size_t sent = 0; sent < request.size();)
            sent += static_cast<std::size_t>(
                socket.sendBytes(request.data() + sent, static_cast<int>(request.size() - sent)));
        socket.shutdownSend();
        socket.setReceiveTimeout(Poco::Timespan(ANSWER_TIMEOUT_S, 0));
        char answer[4096];
        while (socket.receiveBytes(answer, sizeof(answer)) > 0) {
        }
    } catch (const Poco::TimeoutException&) {
        fuzz::fail("the bridge kept the connection open " + std::to_string(ANSWER_TIMEOUT_S) +
                   " s after the request ended");
    } catch (const Poco::Exception&) {
        // The bridge may close before it has read everything (a reset).
    }
    socket.close();
    return 0;
}
