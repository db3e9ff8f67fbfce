#include "TicketBook.h"

#include "RandomToken.h"

TicketBook::TicketBook(std::chrono::milliseconds lifetime) : lifetime_(lifetime) {}

std::string TicketBook::issue(const std::string& path) {
    const auto now = std::chrono::steady_clock::now();
    std::string ticket = randomToken();
    std::lock_guard<std::mutex> lock(mutex_);
    dropExpired(now);
    tickets_[ticket] = Entry{path, now + lifetime_};
    return ticket;
}

bool TicketBook::redeem(const std::string& ticket, const std::string& path) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    dropExpired(now);
    auto it = tickets_.find(ticket);
    if (it == tickets_.end()) return false;
    const bool valid = it->second.path == path;
    tickets_.erase(it);
    return valid;
}

void TicketBook::dropExpired(std::chrono::steady_clock::time_point now) {
    for (auto it = tickets_.begin(); it != tickets_.end();) {
        it = (it->second.expiry <= now) ? tickets_.erase(it) : std::next(it);
    }
}
