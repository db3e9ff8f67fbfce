// One desk: the signed-in page of one client id with its control socket and
// the video sockets of its screens. The page socket, the control socket and
// each video socket are served by their own HTTP server threads; they meet
// here under one lock.
#pragma once

#include "AccessUnitStream.h"
#include "DemoOptions.h"
#include "SignInSessions.h"
#include "UsbRemoteClient.h"

#include <Poco/JSON/Object.h>
#include <Poco/Logger.h>
#include <Poco/Net/WebSocket.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class Desk {
public:
    Desk(std::string clientId, SignInSession session, const DemoOptions& options,
         std::vector<std::shared_ptr<const AccessUnitStream>> streams, Poco::Logger& logger);
    ~Desk();
    Desk(const Desk&) = delete;
    Desk& operator=(const Desk&) = delete;

    const std::string& clientId() const { return clientId_; }
    const SignInSession& session() const { return session_; }
    int screenCount() const { return static_cast<int>(screens_.size()); }

    // Page side. The socket stays owned by the page handler, which detaches
    // it before it goes away.
    void attachPage(Poco::Net::WebSocket* socket);
    void detachPage();
    bool sendToPage(const Poco::JSON::Object::Ptr& message);
    // A control message for the client, relayed by the page over its bridge.
    bool relay(const Poco::JSON::Object::Ptr& message);
    // A line for the page's status field.
    bool status(const std::string& text);
    void handlePageMessage(const std::string& text);

    // Control side: one control socket per desk.
    bool claimControl();
    void releaseControl();
    // Announces the server and starts every screen: SVR_CLNT_ID,
    // SVR_SERVER_PARAM, then CLNT_VIDEO_SETUP and SVR_VS_PARAM per screen.
    void startScreens();
    void handleClientMessage(const std::string& text);

    // Video side: one video socket per screen.
    bool claimVideo(int screen);
    // Sends access units on the socket once the client asked for the
    // screen's stream, until the screen, the desk or the server ends.
    void streamVideo(int screen, Poco::Net::WebSocket& socket, const std::atomic<bool>& stopping);
    void endScreen(int screen, const std::string& reason);

    // USB sharing: the client's USB tunnel, whose server end listens on
    // 127.0.0.1 at port, and the remote USB client that reaches the
    // client's USB server through it.
    void attachUsbTunnel(const std::string& name, int port);
    void detachUsbTunnel(const std::string& name);

    void close();
    bool isClosed() const;

private:
    struct Screen {
        bool videoAttached = false;
        bool started = false;
        bool restart = false;
        bool ended = false;
        long long framesSent = 0;
    };
    bool validScreen(int screen) const { return screen >= 0 && screen < screenCount(); }
    void requestRestart(int screen, const char* why);
    // True when the client closed the socket or sent something unexpected.
    bool drainIncoming(Poco::Net::WebSocket& socket, int screen);
    Poco::JSON::Object::Ptr statRequest(int screen, long long frameNo, int framesInInterval, long long bytesInInterval,
                                        bool onlyAck) const;
    // SVR_SERVER_PARAM's USB members: the allow list and show-all.
    void addUsbParameters(Poco::JSON::Object::Ptr params);
    // The client's USB messages: bind and release requests, force-bind
    // requests, connected and disconnected notices.
    void handleUsbMessage(int type, const Poco::JSON::Object::Ptr& message);
    // A line of USB sharing for the log and the page's USB panel.
    void usbEvent(const std::string& text, bool error);
    // The client's messages to the page, as the page reports them.
    void logClientMessage(const Poco::JSON::Object::Ptr& message);

    const std::string clientId_;
    const SignInSession session_;
    const DemoOptions& options_;
    const std::vector<std::shared_ptr<const AccessUnitStream>> streams_;
    Poco::Logger& logger_;

    std::mutex pageMutex_;  // serialises writes to the page socket
    Poco::Net::WebSocket* page_ = nullptr;

    // USB sharing; the allow list can change while the desk runs.
    std::mutex usbMutex_;
    std::unique_ptr<UsbRemoteClient> usbClient_;
    std::string usbTunnelName_;
    const bool usbPassive_;  // the remote USB client leaves requests pending
    bool usbAllowListSet_ = false;
    std::string usbAllowList_;
    std::string lastDeviceList_;  // the last device list the page got, to log changes only

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool closed_ = false;
    bool controlAttached_ = false;
    std::vector<Screen> screens_;
};
