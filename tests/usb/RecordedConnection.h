// A server connection for the USB support's tests: it keeps what the
// support sent to the server and to the page, and lets a test wait for a
// message of a type.
#pragma once

#include "QorMessage.h"
#include "UsbServerConnection.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

class RecordedConnection : public qor::UsbServerConnection {
public:
    struct Sent {
        std::string json;
        std::string label;
        int type;
    };

    void sendCtrl(const std::string& json, const std::string& label, bool verbose) override;
    bool updateWebClient(const std::string& text, bool verbose) override;
    bool usbTunnelUp() const override { return usbTunnelUp_.load(); }
    // As when the connection set up its USB tunnel (or lost it).
    void setUsbTunnelUp(bool up) { usbTunnelUp_.store(up); }
    bool usbTunnelComing() const override { return usbTunnelComing_.load(); }
    // As a page whose socket is gone: nothing reaches it.
    void setPageAway(bool away) { pageAway_.store(away); }
    // As before the server's client id: the tunnel is still to come.
    void setUsbTunnelComing(bool coming) { usbTunnelComing_.store(coming); }

    std::vector<Sent> toServer() const;
    std::vector<Sent> toPage() const;
    // The messages of the type, in order.
    std::vector<QorMessage> toServer(int type) const;
    std::vector<QorMessage> toPage(int type) const;
    // Waits up to timeoutMs for the count-th message of the type to the page.
    bool waitForPage(int type, int count, int timeoutMs) const;
    void clear();

private:
    static std::vector<QorMessage> ofType(const std::vector<Sent>& sent, int type);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Sent> server_;
    std::vector<Sent> page_;
    std::atomic<bool> usbTunnelUp_{false};
    std::atomic<bool> usbTunnelComing_{false};
    std::atomic<bool> pageAway_{false};
};

// The devices of a device list message, "name:enabled" each, in order.
std::vector<std::string> listedDevices(const QorMessage& list);
