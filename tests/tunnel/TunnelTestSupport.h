// What the tunnel tests share: the Python peer that plays the server's end
// of a tunnel from the frame table, real local TCP servers and clients that
// hash what they carry, and SHA-256.
#pragma once

#include "PeerProcess.h"

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qor {
class QorWebSocket;
}

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void update(const void* data, std::size_t size);
    // Lower-case hex of the digest; the object is finished then.
    std::string hex();

private:
    void* context_;
};

std::string sha256Hex(const std::string& bytes);
// The peer's pattern: byte i is (7 * i + 3) mod 251.
std::string patternBytes(std::size_t size);
// Random bytes from a seed (for streams both ends can check).
std::string randomBytes(std::size_t size, std::uint64_t seed);
// A size between low and high, spread evenly over the magnitudes.
std::size_t logUniformSize(std::uint64_t& state, std::size_t low, std::size_t high);

// A long pseudo-random byte stream that both ends of a transfer can make
// and check piece by piece, at any offset.
class StreamPattern {
public:
    explicit StreamPattern(std::uint64_t seed) : seed_(seed) {}
    // The bytes at [offset, offset + size).
    void fill(std::uint64_t offset, char* target, std::size_t size) const;
    // True when the bytes equal the stream at offset.
    bool matches(std::uint64_t offset, const char* bytes, std::size_t size) const;

private:
    std::uint64_t seed_;
};

// tests/tunnel/peers/tunnel_peer.py: one tunnel WebSocket, scripted through
// its standard input.
class TunnelPeer {
public:
    TunnelPeer();
    // Opens the WebSocket to the peer; the caller hands it to a tunnel.
    qor::QorWebSocket* connect();
    // Runs one command; false (with the peer's output in failure()) when the
    // peer failed or did not answer in time.
    bool run(const std::string& command, int timeoutMs = 120000);
    // Runs a command that prints a line beginning with prefix and returns
    // the rest of that line ("<...>" when none came or the command failed).
    std::string query(const std::string& command, const std::string& prefix, int timeoutMs = 120000);
    // The rest of the next output line that begins with prefix.
    std::string nextLine(const std::string& prefix, int timeoutMs = 120000);
    std::string output() const { return process_->output(); }
    int port() const { return port_; }
    PeerProcess& process() { return *process_; }

private:
    std::unique_ptr<PeerProcess> process_;
    int port_ = 0;
};

// A local TCP server on 127.0.0.1: one thread per connection, which hashes
// what arrives and, as an echo, sends it back. Records each connection
// when it ends.
class LocalServer {
public:
    enum class Mode { ECHO, SINK, SILENT };
    struct Record {
        std::uint64_t bytes = 0;
        std::string sha;
        bool reset = false;  // ended by our reset, not by the other side
    };

    // port 0: any free port. A receive buffer size above 0 is set on every
    // accepted connection (and switches the system's tuning of it off).
    explicit LocalServer(Mode mode, int port = 0, int receiveBuffer = 0);
    ~LocalServer();
    LocalServer(const LocalServer&) = delete;
    LocalServer& operator=(const LocalServer&) = delete;

    int port() const { return port_; }
    // A connection that has received more than this many bytes resets
    // (RST) instead of reading on.
    void resetAfter(std::uint64_t bytes) { resetAfter_.store(bytes); }
    // Each connection pauses this long after every read: a slow reader.
    void pauseAfterReads(int ms) { readPauseMs_.store(ms); }
    int accepted() const;
    std::vector<Record> finished() const;
    bool waitFinished(std::size_t count, int timeoutMs) const;

private:
    void acceptLoop();
    void serve(Poco::Net::StreamSocket socket);

    const Mode mode_;
    Poco::Net::ServerSocket socket_;
    int port_ = 0;
    std::atomic<std::uint64_t> resetAfter_{~std::uint64_t(0)};
    std::atomic<int> readPauseMs_{0};
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Poco::Net::StreamSocket> open_;
    std::vector<std::thread> threads_;
    std::vector<Record> finished_;
    int accepted_ = 0;
    std::thread acceptor_;
};

// Connects to 127.0.0.1:port, sends the bytes (all of them before reading),
// reads as many back and compares; the error, or "" when the echo was equal.
std::string echoThrough(int port, const std::string& bytes);

// Shuts both directions of a test socket down (wakes a thread blocked on it).
void shutDownSocket(const Poco::Net::Socket& socket);
