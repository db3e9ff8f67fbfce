#include "TunnelTestSupport.h"

#include "QorWebSocket.h"
#include "TestPaths.h"
#include "WebSocketAcceptor.h"

#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <chrono>
#include <cstdio>
#include <stdexcept>

#include <sys/socket.h>

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
    EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(context_), EVP_sha256(), nullptr);
}

Sha256::~Sha256() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(context_)); }

void Sha256::update(const void* data, std::size_t size) {
    EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(context_), data, size);
}

std::string Sha256::hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(context_), digest, &length);
    std::string text;
    char two[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        text += two;
    }
    return text;
}

std::string sha256Hex(const std::string& bytes) {
    Sha256 sha;
    sha.update(bytes.data(), bytes.size());
    return sha.hex();
}

std::string patternBytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((7 * (i % 251) + 3) % 251);
    return bytes;
}

namespace {

std::uint64_t nextRandom(std::uint64_t& state) {
    // xorshift64*
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1DULL;
}

} // namespace

namespace {

std::uint64_t splitMix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

} // namespace

void StreamPattern::fill(std::uint64_t offset, char* target, std::size_t size) const {
    std::size_t done = 0;
    while (done < size) {
        const std::uint64_t position = offset + done;
        const std::uint64_t word = splitMix(seed_ ^ (position / 8));
        const unsigned skip = static_cast<unsigned>(position % 8);
        const std::size_t take = std::min<std::size_t>(8 - skip, size - done);
        for (std::size_t i = 0; i < take; ++i) target[done + i] = static_cast<char>(word >> (8 * (skip + i)));
        done += take;
    }
}

bool StreamPattern::matches(std::uint64_t offset, const char* bytes, std::size_t size) const {
    char expected[4096];
    for (std::size_t done = 0; done < size; done += sizeof expected) {
        const std::size_t n = std::min(sizeof expected, size - done);
        fill(offset + done, expected, n);
        if (std::memcmp(expected, bytes + done, n) != 0) return false;
    }
    return true;
}

std::string randomBytes(std::size_t size, std::uint64_t seed) {
    std::uint64_t state = seed * 0x9E3779B97F4A7C15ULL + 1;
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; i += 8) {
        const std::uint64_t value = nextRandom(state);
        for (std::size_t j = 0; j < 8 && i + j < size; ++j) bytes[i + j] = static_cast<char>(value >> (8 * j));
    }
    return bytes;
}

std::size_t logUniformSize(std::uint64_t& state, std::size_t low, std::size_t high) {
    const double unit = static_cast<double>(nextRandom(state) >> 11) / 9007199254740992.0;
    const double value = static_cast<double>(low) * std::pow(static_cast<double>(high) / low, unit);
    const std::size_t size = static_cast<std::size_t>(std::llround(value));
    return size < low ? low : size > high ? high : size;
}

TunnelPeer::TunnelPeer() {
    process_.reset(new PeerProcess(debianPython(), {testSourcePath("tunnel/peers/tunnel_peer.py")}, true));
    std::string rest;
    if (!process_->waitForNextLine("READY ", rest, 30000))
        throw std::runtime_error("tunnel peer did not start: " + process_->output());
    port_ = std::stoi(rest);
}

qor::QorWebSocket* TunnelPeer::connect() {
    Poco::Net::WebSocket* socket = connectPocoWebSocket("127.0.0.1", port_, "/tunnel");
    std::string rest;
    if (!process_->waitForNextLine("CONNECTED", rest, 30000))
        throw std::runtime_error("tunnel peer did not take the WebSocket: " + process_->output());
    return new qor::QorWebSocket(socket, "tunnel-test");
}

bool TunnelPeer::run(const std::string& command, int timeoutMs) {
    if (!process_->writeLine(command)) return false;
    std::string rest;
    return process_->waitForNextLine("OK " + command, rest, timeoutMs);
}

std::string TunnelPeer::query(const std::string& command, const std::string& prefix, int timeoutMs) {
    if (!process_->writeLine(command)) return "<peer gone>";
    const std::string answer = nextLine(prefix, timeoutMs);
    std::string rest;
    if (!process_->waitForNextLine("OK " + command, rest, timeoutMs)) return "<" + command + " failed>";
    return answer;
}

std::string TunnelPeer::nextLine(const std::string& prefix, int timeoutMs) {
    std::string rest;
    if (!process_->waitForNextLine(prefix, rest, timeoutMs)) return "<no line " + prefix + ">";
    return rest;
}

void shutDownSocket(const Poco::Net::Socket& socket) {
    const int fd = socket.impl()->sockfd();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

LocalServer::LocalServer(Mode mode, int port, int receiveBuffer) : mode_(mode) {
    socket_.bind(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port)), true, false);
    if (receiveBuffer > 0) socket_.setReceiveBufferSize(receiveBuffer);
    socket_.listen(512);
    port_ = socket_.address().port();
    acceptor_ = std::thread([this] { acceptLoop(); });
}

LocalServer::~LocalServer() {
    stopping_.store(true);
    // shutdown(2) wakes the blocked accept and every blocked receive.
    shutDownSocket(socket_);
    acceptor_.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& socket : open_) shutDownSocket(socket);
        threads.swap(threads_);
    }
    changed_.notify_all();
    for (auto& thread : threads) thread.join();
    socket_.close();
}

void LocalServer::acceptLoop() {
    while (!stopping_.load()) {
        Poco::Net::StreamSocket socket;
        try {
            socket = socket_.acceptConnection();
        } catch (const Poco::Exception&) {
            if (stopping_.load()) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        ++accepted_;
        open_.push_back(socket);
        threads_.emplace_back([this, socket] { serve(socket); });
        changed_.notify_all();
    }
}

void LocalServer::serve(Poco::Net::StreamSocket socket) {
    Record record;
    Sha256 sha;
    std::vector<char> buffer(256 * 1024);
    if (mode_ == Mode::SILENT) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return stopping_.load(); });
        return;
    }
    try {
        for (;;) {
            const int n = socket.receiveBytes(buffer.data(), static_cast<int>(buffer.size()));
            if (n <= 0) break;
            record.bytes += static_cast<std::uint64_t>(n);
            sha.update(buffer.data(), static_cast<std::size_t>(n));
            if (record.bytes > resetAfter_.load()) {
                socket.setLinger(true, 0);
                socket.close();
                record.reset = true;
                break;
            }
            if (mode_ == Mode::ECHO) socket.sendBytes(buffer.data(), n);
            if (readPauseMs_.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(readPauseMs_.load()));
        }
    } catch (const Poco::Exception&) {
    }
    record.sha = sha.hex();
    std::lock_guard<std::mutex> lock(mutex_);
    finished_.push_back(record);
    changed_.notify_all();
}

int LocalServer::accepted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return accepted_;
}

std::vector<LocalServer::Record> LocalServer::finished() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return finished_;
}

bool LocalServer::waitFinished(std::size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return finished_.size() >= count; });
}

std::string echoThrough(int port, const std::string& bytes) {
    try {
        Poco::Net::StreamSocket socket(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port)));
        socket.setReceiveTimeout(Poco::Timespan(60, 0));
        socket.sendBytes(bytes.data(), static_cast<int>(bytes.size()));
        std::string back;
        std::vector<char> buffer(256 * 1024);
        while (back.size() < bytes.size()) {
            const int n = socket.receiveBytes(buffer.data(), static_cast<int>(buffer.size()));
            if (n <= 0) return "connection ended after " + std::to_string(back.size()) + " bytes";
            back.append(buffer.data(), static_cast<std::size_t>(n));
        }
        socket.close();
        if (back != bytes) return "echo differs";
        return "";
    } catch (const Poco::Exception& e) {
        return e.displayText();
    }
}
