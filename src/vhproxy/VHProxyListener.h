// The daemon's listener on 127.0.0.1:7679. A few threads accept connections
// and read their request frames as the bytes come (PendingRequest): a
// connection that says nothing costs a descriptor until its time is up,
// never a worker. A complete request goes to one of a few worker threads,
// which carry it out and answer. Each accepting thread keeps the
// connections it accepted; they take turns at the listening socket, so
// that another user who opens connections from one process as fast as it
// can does not outpace them (finding a connection's user costs the daemon
// more than making the connection costs its peer).
//
// Each connection's user is asked of the kernel as it is accepted. A
// connection whose user cannot be told (its peer closed it already, or the
// kernel could not be asked) is closed at once. A user the daemon does not
// serve holds no place among the connections below: its request is read
// beside them (into a buffer no larger than what it sent, up to
// maxRefusedRequestLength) and answered with the refusal by the accepting
// thread itself, as soon as it has come (at its deadline, or when pushed
// out, as a request that could not be read); at most maxRefusing such
// connections wait for their requests, and one beyond them pushes out the
// one that waited longest.
//
// At most maxHeld connections of the users it serves are held at once; a
// connection beyond them pushes out the one that has waited longest for
// its request, and while all of them have their requests, no connection is
// accepted until a worker takes one. Each round of an accepting thread
// takes every connection waiting in the listening socket's queue (at most
// a queue's length, so that the connections held are read in between).
// Stop ends every connection still waiting for its request at once and
// waits only for the requests under way.
//
// Another user can open connections as fast as the daemon refuses them,
// and a refused client polls: the first refusal of a user is logged, the
// further ones are counted and summed up once summaryPeriod has passed, or
// when the listener stops. So are connections of a served user that end
// without a request, and those whose user is unknown.
//
// A socket handed to a worker is held by the worker alone: the accepting
// threads keep no copy of it (POCO's sockets share one reference-counted
// descriptor, and the last copy closes it), so nothing of it is released
// on the accepting thread while the worker uses it.
#pragma once

#include "PendingRequest.h"
#include "PeerRefusalReport.h"
#include "ShortageReport.h"

#include <Poco/Net/PollSet.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/SocketDefs.h>
#include <Poco/Net/StreamSocket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

class VHProxyListener {
public:
    // Carries out one complete request of a user it serves on a worker
    // thread and answers it on the socket (blocking again).
    using Handler =
        std::function<void(const Poco::Net::StreamSocket& socket, const std::string& request, unsigned int userId)>;
    // Whether the daemon serves the user; on an accepting thread.
    using Admission = std::function<bool(unsigned int userId)>;
    // The reply's text for a request of a user it does not serve (an empty
    // request when none came whole); on an accepting thread.
    using Refusal = std::function<std::string(const std::string& request, unsigned int userId)>;

    static constexpr int acceptorCount = 3;
    static constexpr int workerCount = 8;
    static constexpr std::size_t maxHeld = 256;
    static constexpr std::size_t maxRefusing = 255; // a third for each accepting thread
    static constexpr int maxRefusedRequestLength = 16384;
    // The listening socket's queue.
    static constexpr int backlog = 1024;
    // How long an accepting thread pauses at most after a failed accept (no
    // descriptor left, say), unless one of its connections ends before.
    static constexpr int acceptPauseMs = 250;

    VHProxyListener(Handler handler, Admission admits, Refusal refusal, int requestTimeoutMs, int maxRequestLength,
                    ShortageReport::Clock::duration summaryPeriod = std::chrono::minutes(1));
    ~VHProxyListener();

    // Listens at the address and serves; false with the reason.
    bool start(const Poco::Net::SocketAddress& address, std::string& error);
    void stop();

private:
    using Pending = std::list<PendingRequest>;
    // Where a connection waiting for its request is.
    struct Place {
        bool refused; // in refusing, else in waiting
        Pending::iterator at;
        bool polled;
    };
    // An accepting thread's own: connections waiting for their requests,
    // oldest first, of users it serves and of others, and where each is.
    struct Acceptor {
        std::unique_ptr<Poco::Net::PollSet> pollSet;
        Pending waiting;
        Pending refusing;
        std::unordered_map<poco_socket_t, Place> places;
        PendingRequest::Clock::time_point pausedUntil;
        std::thread thread;
    };

    void serve(Acceptor& acceptor);
    // Takes the connections waiting in the listening socket's queue.
    void acceptWaiting(Acceptor& acceptor);
    // False when accepting is to end for this round.
    bool acceptOne(Acceptor& acceptor);
    // Finds the user and keeps the connection waiting for its request
    // (or closes it): its descriptor, POCO_INVALID_SOCKET when closed. The
    // caller's copy of the socket is to end before the request is read, as
    // the request may go to a worker then.
    poco_socket_t admit(Acceptor& acceptor, const Poco::Net::StreamSocket& socket);
    // Reads what came on the connection and acts on it.
    void readFrom(Acceptor& acceptor, poco_socket_t fd);
    // Ends the waiting connection; logs the reason once for its user, if
    // there is one.
    void drop(Acceptor& acceptor, poco_socket_t fd, const std::string& reason);
    // Answers a connection of a user it does not serve and ends it.
    void refuse(Acceptor& acceptor, poco_socket_t fd);
    // Gives the complete request to the workers.
    void handOver(Acceptor& acceptor, poco_socket_t fd);
    // Takes the connection out of the poll set and the acceptor's lists and
    // moves its node to the end of into; true for a user it does not serve.
    bool release(Acceptor& acceptor, poco_socket_t fd, Pending& into);
    void expire(Acceptor& acceptor, PendingRequest::Clock::time_point now);
    // The connections of users it serves held: waiting, queued for a
    // worker, under way.
    std::size_t held();
    // The first of a run of reports, or the count for the summary.
    bool metRefusal(unsigned int userId);
    bool metUnfinished(unsigned int userId);
    bool metUnknown();
    // Sums up the reports whose period is over, or with all, every one.
    void summarise(bool all);
    void work();

    const Handler handler_;
    const Admission admits_;
    const Refusal refusal_;
    const int requestTimeoutMs_;
    const int maxRequestLength_;
    const ShortageReport::Clock::duration summaryPeriod_;
    Poco::Net::ServerSocket listener_;
    std::atomic<bool> stopping_{false};
    std::vector<std::unique_ptr<Acceptor>> acceptors_;
    std::vector<std::thread> workers_;

    // What is logged once and then summed up, by every accepting thread.
    std::mutex reportLock_;
    ShortageReport acceptFailure_;
    ShortageReport crowded_;
    // By user id: refused connections, and connections of users it serves
    // that ended without a request.
    PeerRefusalReport refusals_;
    PeerRefusalReport unfinished_;
    // Connections whose user could not be told.
    ShortageReport unknown_;
    ShortageReport::Clock::time_point summarisedAt_;

    // Complete requests for the workers, how many are under way, and how
    // many connections of users it serves wait for their requests.
    std::mutex lock_;
    std::condition_variable work_;
    Pending requests_;
    std::size_t busy_ = 0;
    std::size_t waiting_ = 0;
};
