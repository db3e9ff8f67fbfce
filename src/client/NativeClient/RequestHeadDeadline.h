// A time limit for the whole request head of each js-bridge connection.
// POCO's server time-out applies to each read, so a peer that sends one byte
// now and then keeps a server thread for as long as it likes. A connection is
// watched from the moment a server thread takes it until its request head
// has been read; when the limit passes first, its socket is shut down for
// receiving, which ends the thread's read at once, and the connection ends.
#pragma once

#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Runnable.h>
#include <Poco/Thread.h>
#include <Poco/Timespan.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>

namespace qor {

class RequestHeadDeadline : public Poco::Runnable {
public:
    explicit RequestHeadDeadline(Poco::Timespan limit);
    ~RequestHeadDeadline() override;
    RequestHeadDeadline(const RequestHeadDeadline&) = delete;
    RequestHeadDeadline& operator=(const RequestHeadDeadline&) = delete;

    // Starts the limit for the connection; returns its key for release, or
    // "" when the socket has no peer any more (nothing to watch).
    std::string watch(const Poco::Net::StreamSocket& socket);
    // The head from the client has arrived (or its connection ends): the
    // connection is no longer watched. A key that is not watched is ignored.
    void release(const std::string& key);
    // The key of a request's client (HTTPServerRequest::clientAddress).
    static std::string keyOf(const Poco::Net::SocketAddress& client) { return client.toString(); }

    void run() override;

private:
    using Clock = std::chrono::steady_clock;
    struct Watched {
        Poco::Net::StreamSocket socket;
        Clock::time_point deadline;
    };

    const Clock::duration limit_;
    const long limitMs_;
    std::mutex mutex_;
    std::condition_variable changed_;
    // By client address: one live connection per address pair, and the
    // bridge has one local address.
    std::map<std::string, Watched> watched_;
    bool stopping_ = false;
    Poco::Thread thread_;
};

} // namespace qor
