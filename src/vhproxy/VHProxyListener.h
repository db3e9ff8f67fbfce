// The daemon's listener on 127.0.0.1:7679. One thread accepts connections
// and reads their request frames as the bytes come (PendingRequest): a
// connection that says nothing costs a descriptor until its time is up,
// never a worker. A complete request goes to one of a few worker threads,
// which carry it out and answer.
//
// At most maxHeld connections are held at once; a connection beyond them
// pushes out the one that has waited longest for its request, and while
// all of them have their requests, no connection is accepted until a
// worker takes one. Stop ends every connection still waiting for its
// request at once and waits only for the requests under way.
#pragma once

#include "PendingRequest.h"
#include "ShortageReport.h"

#include <Poco/Net/PollSet.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class VHProxyListener {
public:
    // Carries out one complete request on a worker thread and answers it
    // on the socket (blocking again).
    using Handler = std::function<void(const Poco::Net::StreamSocket& socket, const std::string& request)>;

    static constexpr int workerCount = 8;
    static constexpr std::size_t maxHeld = 256;
    // How long accepting pauses at most after a failed accept (no
    // descriptor left, say), unless a connection ends before.
    static constexpr int acceptPauseMs = 250;

    VHProxyListener(Handler handler, int requestTimeoutMs, int maxRequestLength);
    ~VHProxyListener();

    // Listens at the address and serves; false with the reason.
    bool start(const Poco::Net::SocketAddress& address, std::string& error);
    void stop();

private:
    struct Request {
        Poco::Net::StreamSocket socket;
        std::string text;
    };

    void serve();
    void accept();
    // Ends the waiting connection; logs the reason, if any.
    void drop(std::list<PendingRequest>::iterator pending, const std::string& reason);
    // Gives the complete request to the workers.
    void handOver(std::list<PendingRequest>::iterator pending);
    // The connections held: waiting, queued for a worker, under way.
    std::size_t held();
    void work();

    const Handler handler_;
    const int requestTimeoutMs_;
    const int maxRequestLength_;
    Poco::Net::ServerSocket listener_;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::vector<std::thread> workers_;

    // The accepting thread's own: connections waiting for their requests,
    // oldest first, and where each one is in that list.
    std::unique_ptr<Poco::Net::PollSet> pollSet_;
    std::list<PendingRequest> waiting_;
    std::map<Poco::Net::Socket, std::list<PendingRequest>::iterator> waitingBySocket_;
    ShortageReport acceptFailure_;
    ShortageReport crowded_;
    PendingRequest::Clock::time_point acceptPausedUntil_;

    // Complete requests for the workers, and how many are under way.
    std::mutex lock_;
    std::condition_variable work_;
    std::deque<Request> requests_;
    std::size_t busy_ = 0;
};
