// A connection whose request frame is on its way (a signed 32-bit
// little-endian length and that many bytes of text), read without blocking
// as its bytes come, so that a peer that sends nothing, or sends slowly,
// holds no thread while it waits. The text's buffer grows with the bytes
// that have come, never to the length the header announces: a peer that
// announces a long request and sends nothing more costs nothing.
//
// The connection's user is known from its start (the listener asks the
// kernel when it accepts it).
#pragma once

#include <Poco/Net/StreamSocket.h>

#include <chrono>
#include <cstdint>
#include <string>

class PendingRequest {
public:
    using Clock = std::chrono::steady_clock;
    enum class Progress { Waiting, Complete, Failed };

    // The socket is made non-blocking; the request must be complete by the
    // deadline.
    PendingRequest(const Poco::Net::StreamSocket& socket, unsigned int userId, Clock::time_point deadline,
                   int maxLength);

    // Takes what has come. Failed: the connection is of no use any more,
    // with the reason for the log.
    Progress read(std::string& reason);
    // The request's text, up to its first NUL; once Complete.
    std::string request() const;

    const Poco::Net::StreamSocket& socket() const { return socket_; }
    Poco::Net::StreamSocket& socket() { return socket_; }
    unsigned int userId() const { return userId_; }
    Clock::time_point deadline() const { return deadline_; }

private:
    Poco::Net::StreamSocket socket_;
    unsigned int userId_;
    Clock::time_point deadline_;
    int maxLength_;
    unsigned char header_[4] = {};
    std::size_t headerRead_ = 0;
    std::int32_t length_ = -1; // known once the header is read
    std::string text_;
};
