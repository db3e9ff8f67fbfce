// One-use tickets that open the server WebSockets. A ticket is issued for
// one WebSocket path and must be presented as the first text frame on a
// socket opened at exactly that path, before it expires.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>

class TicketBook {
public:
    explicit TicketBook(std::chrono::milliseconds lifetime = std::chrono::seconds(30));
    std::string issue(const std::string& path);
    // True once per ticket: issued for this path and not expired. The ticket
    // is spent by the attempt, also when the path does not match.
    bool redeem(const std::string& ticket, const std::string& path);

private:
    struct Entry {
        std::string path;
        std::chrono::steady_clock::time_point expiry;
    };
    void dropExpired(std::chrono::steady_clock::time_point now);

    std::chrono::milliseconds lifetime_;
    std::mutex mutex_;
    std::map<std::string, Entry> tickets_;
};
