// Stand-ins for the connection side's calls and values that the web views
// use (NativeClient's CSRF token and server host, key events, the exit
// routine, the server's scheme, port and session cookie) until the
// connection code is part of the client. Same names and signatures.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace qor {

class NativeClient {
public:
    static NativeClient* instance();
    void setCsrfToken(const std::string& token);
    std::string csrfToken() const;
    std::string currentServerUrl() const;

private:
    friend void setCurrentServerUrl(const std::string& url);
    std::string csrfToken_;
    std::string currentServerUrl_;
};

void setCurrentServerUrl(const std::string& url);
bool sendKeyEvent(const std::string& code, const std::string& key, bool keyUp, bool shift, bool ctrl, bool alt,
                  bool meta);
void stopNativeClient();

extern std::atomic<bool> serverIsSecure;
extern std::atomic<std::int32_t> serverPort;
extern std::atomic<bool> autoSignInAllowed;
std::string sessionCookieValue();
void setSessionCookieValue(const std::string& value);

} // namespace qor
