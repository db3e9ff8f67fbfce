// A stand-in for the remote-desktop server in one test process: a POCO
// HTTP(S) server on a loopback port that answers ticket requests and
// accepts the client's control and video WebSockets (upgraded with POST),
// records what the client sent and hands the sockets to the test.
#pragma once

#include "TestCertificates.h"

#include <Poco/Net/HTTPServer.h>
#include <Poco/ThreadPool.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/WebSocket.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TempDir;

struct RecordedRequest {
    std::string method;
    std::string target;
    std::string cookie;  // the Cookie header as sent
    std::string origin;
    std::string contentType;
    std::string body;
    std::map<std::string, std::string> form;
};

struct AcceptedSocket {
    std::string target;
    std::string ticket;  // the first text frame
    std::unique_ptr<Poco::Net::WebSocket> socket;
};

class FakeServer {
public:
    enum class Upgrade { ACCEPT, REFUSE, HANG_UP };

    // Plain HTTP, or HTTPS with a self-signed certificate made in tempDir.
    explicit FakeServer(bool secure, TempDir* tempDir = nullptr);
    // HTTPS with the given certificate.
    explicit FakeServer(const CertificateFiles& certificate);
    ~FakeServer();

    int port() const { return port_; }
    // The server's certificate (empty names over plain HTTP).
    const CertificateFiles& certificate() const { return certificate_; }

    // What the ticket request gets.
    void setTicketAnswer(int status, const std::string& body);
    void setTicketDelay(int ms);
    void setUpgrade(Upgrade mode);

    std::vector<RecordedRequest> requests() const;
    // Waits for the n-th request (1-based) to arrive.
    bool waitForRequests(std::size_t count, int timeoutMs) const;
    // The next accepted WebSocket with its ticket; target empty after the time-out.
    AcceptedSocket waitForSocket(int timeoutMs);

    // Used by the handlers.
    struct Answer {
        int status;
        std::string body;
        int delayMs;
        Upgrade upgrade;
    };
    Answer answer() const;
    void record(RecordedRequest request);
    void push(AcceptedSocket accepted);

private:
    void startSecure(const CertificateFiles& certificate);
    void start(const Poco::Net::ServerSocket& socket);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<RecordedRequest> requests_;
    std::deque<AcceptedSocket> sockets_;
    Answer answer_{200, "ticket-1", 0, Upgrade::ACCEPT};
    // The server's own threads: the destructor waits for its handlers,
    // which use this object, to end (the process's shared pool would let
    // them run on past it, even past the end of main).
    Poco::ThreadPool threads_{2, 16};
    std::unique_ptr<Poco::Net::HTTPServer> server_;
    int port_ = 0;
    CertificateFiles certificate_;
};

// Reads one text frame from a test-side socket ("" on close or time-out).
std::string readTextFrame(Poco::Net::WebSocket& socket, int timeoutMs);
// Reads text frames until one contains the fragment; "" when none came.
std::string readFrameContaining(Poco::Net::WebSocket& socket, const std::string& fragment, int timeoutMs);
void sendTextFrame(Poco::Net::WebSocket& socket, const std::string& text);
