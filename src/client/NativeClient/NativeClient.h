// The client's connection manager: one process-wide event thread that owns
// at most one server connection (proxy) at a time. Each bridge WebSocket of
// the page replaces the proxy; a proxy that ends reports it and is deleted
// here; program exit ends the thread, the proxy and everything it owns.
#pragma once

#include "LockedText.h"
#include "OwnerLock.h"
#include "QorEventThread.h"


#include <cstdint>
#include <string>

namespace qor {

class NativeClientServerProxy;

// Guards NativeClient's current proxy while it is read, used or replaced.
extern OwnerLock currentProxyLock;

class NativeClient : public QorEventThread {
public:
    // The singleton, created on the first call (made by main on the GUI
    // thread before any other thread can reach it). Never deleted.
    static NativeClient* instance();

    ~NativeClient() override;

    void setCsrfToken(const std::string& token);
    std::string csrfToken() const;
    std::string currentServerUrl() const;
    // Ends the current proxy; its name, or "" when there was none.
    std::string shutdownServerProxy();
    // The current proxy (under currentProxyLock for the caller's use).
    NativeClientServerProxy* currentProxy() const { return currentProxy_; }

protected:
    NativeClient();
    void eventLoop() override;

private:
    friend void setCurrentServerUrl(const std::string& url);
    friend void stopNativeClient();

    void handleWebSocketConnected(BaseEvent* event);
    // True when the loop is to end.
    bool handleServerSessionFinished(BaseEvent* event);
    void handleScreenClosed(BaseEvent* event);
    // Deletes every event still queued, handling an exit event among them.
    void drainAfterStop();

    LockedText currentServerUrl_;
    NativeClientServerProxy* currentProxy_ = nullptr;
    LockedText csrfToken_;
};

// Host part of the current server's address, for the next proxy.
void setCurrentServerUrl(const std::string& url);
// Sends CLNT_KEY through the current proxy; false without one.
bool sendKeyEvent(const std::string& code, const std::string& key, bool keyUp, bool shift, bool ctrl, bool alt,
                  bool meta);
// Posts a screen-closed event for the screen to NativeClient.
void postScreenClosed(std::int32_t screen);
// NATIVE_CLIENT_FEATURES as compact JSON text.
std::string buildClientFeatures();
void setClientError(std::int32_t code);
bool testClientError(std::int32_t mask);
// Exit routine: ends the NativeClient thread with its proxy, then USB support.
void stopNativeClient();

} // namespace qor
