// The signed-in browser sessions: session id (the cookie value), user and
// the CSRF token that the desk page carries in its meta tag.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

struct SignInSession {
    std::string id;
    std::string user;
    bool guest = false;
    std::string csrfToken;
};

class SignInSessions {
public:
    SignInSession create(const std::string& user, bool guest);
    std::optional<SignInSession> find(const std::string& id) const;
    void remove(const std::string& id);

private:
    mutable std::mutex mutex_;
    std::map<std::string, SignInSession> sessions_;
};
