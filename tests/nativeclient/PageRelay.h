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
    // Messages of the kind the server sent to the page (containing fragment).
    int count(const std::string& kind, const std::string& fragment = "") const;
    // Messages the client sent to the page (containing fragment).
    int clientMessages(const std::string& fragment) const;
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
    std::vector<std::string> fromServer_;
    std::vector<std::string> fromClient_;
};
