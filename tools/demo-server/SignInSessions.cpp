#include "SignInSessions.h"

#include "RandomToken.h"

SignInSession SignInSessions::create(const std::string& user, bool guest) {
    SignInSession session{randomToken(), user, guest, randomToken()};
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_[session.id] = session;
    return session;
}

std::optional<SignInSession> SignInSessions::find(const std::string& id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(id);
    if (id.empty() || it == sessions_.end()) return std::nullopt;
    return it->second;
}

void SignInSessions::remove(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.erase(id);
}
