// Plays the desk page's script in a test: carries messages between the demo
// server's page socket and the client's bridge socket in both directions,
// and keeps what each side said.
#pragma once

#include <Poco/Net/WebSocket.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class PageRelay {
public:
    PageRelay(Poco::Net::WebSocket& pageSocket, Poco::Net::WebSocket& bridge);
    ~PageRelay();
    PageRelay(const PageRelay&) = delete;
    PageRelay& operator=(const PageRelay&) = delete;

    void stop();
    // A page message to the server (JSON text with a "kind").
    void sendToServer(const std::string& text);
    // A message of the page to the client, on the bridge (as the page's
    // buttons send USB requests); false once the bridge is closed.
    bool sendToClient(const std::string& text);
    // Messages of the kind the server sent to the page (containing fragment).
    int count(const std::string& kind, const std::string& fragment = "") const;
    // Messages the client sent to the page (containing fragment).
    int clientMessages(const std::string& fragment) const;
    // The client's messages to the page so far (JSON texts, in order).
    std::vector<std::string> clientMessageTexts() const;
    bool bridgeClosed() const { return bridgeClosed_.load(); }

private:
    void relayToClient();
    void relayToServer();

    Poco::Net::WebSocket& page_;
    Poco::Net::WebSocket& bridge_;
    std::thread toClient_;
    std::thread toServer_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> bridgeClosed_{false};
    mutable std::mutex mutex_;
    std::mutex sendMutex_;
    std::mutex bridgeSendMutex_;  // serialises writes to the bridge
    std::vector<std::string> fromServer_;
    std::vector<std::string> fromClient_;
};
