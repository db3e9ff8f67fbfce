// The remote machine's USB client of one desk: it reaches the USB server on
// the client's machine through the desk's USB tunnel (a TCP connection to
// the port where the tunnel's server end listens, which the client connects
// to its USB server) and speaks the USB server's line protocol there: HELLO
// when it connects, ATTACH to bind a device, DETACH to release it, LIST to
// catch up with the bind and release requests of the client's user.
//
// Requests are queued and carried out in order on a thread of its own, over
// one connection that is made again when it broke. Each outcome is reported
// as a line of text (for the server's log and the desk page).
#pragma once

#include <Poco/Net/StreamSocket.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class UsbRemoteClient {
public:
    // report: one line per outcome; error true for failures.
    using Report = std::function<void(const std::string& text, bool error)>;

    UsbRemoteClient(std::string tunnelName, int tunnelPort, Report report);
    ~UsbRemoteClient();
    UsbRemoteClient(const UsbRemoteClient&) = delete;
    UsbRemoteClient& operator=(const UsbRemoteClient&) = delete;

    // Connects (HELLO) unless connected.
    void connect();
    // Binds or releases one device.
    void attach(const std::string& address, const std::string& name);
    void detach(const std::string& address, const std::string& name);
    // Connects unless connected, then binds every device whose bind the
    // client's user asked for and releases every device whose release he
    // asked for.
    void catchUp();

    // The longest wait for one reply line.
    static constexpr int replyTimeoutMs = 5000;

private:
    struct Job {
        enum Kind { Connect, Attach, Detach, CatchUp } kind;
        std::string address;
        std::string name;
    };

    void post(Job job);
    void run();
    void carryOut(const Job& job);
    // Connected, or connects now; false (reported) when it cannot.
    bool ensureConnected();
    // One request line and its reply line; false (connection dropped) when
    // the connection failed or no reply came in time.
    bool request(const std::string& line, std::string& reply);
    void disconnect();
    void bindOrRelease(bool bind, const std::string& address, const std::string& name);

    const std::string tunnelName_;
    const int tunnelPort_;
    const Report report_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    std::thread thread_;

    // Only the thread touches these.
    Poco::Net::StreamSocket socket_;
    bool connected_ = false;
    std::string received_;
    std::string serverName_;
};
