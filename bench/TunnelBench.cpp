// Throughput of a port tunnel over the whole chain on loopback, against a
// plain TCP relay of the same bytes in the same run:
//
//   tunnel: local client -> demo server's tunnel end -> WebSocket ->
//           the client's tunnel (server side, this process) -> local sink
//   relay:  local client -> relay (two threads, 1 MiB buffers) -> local sink
//
// Also the way back (the sink's side sends), 100 connections sharing one
// tunnel, memory over a long transfer, allocations per MiB, and the round
// trip of small frames with the client's tunnel WebSocket sending at once
// (TCP_NODELAY, as the client sets it) and with Nagle's algorithm.
//
// Usage: qdk-bench-tunnel [--size MiB] [--connections N] [--seconds S] [--soak GiB]
#include "NativeClient.h"
#include "QorTunnelServerInterface.h"
#include "QorWebSocket.h"
#include "ServerConnectionFactory.h"
#include "ServerConnectionValues.h"

#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPCookie.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/NameValueCollection.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Net/WebSocket.h>
#include <Poco/Pipe.h>
#include <Poco/PipeStream.h>
#include <Poco/Process.h>
#include <Poco/NullStream.h>
#include <Poco/StreamCopier.h>
#include <Poco/TemporaryFile.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <new>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <csignal>
#include <sys/socket.h>

// Every allocation of the process is counted.
namespace {
std::atomic<std::uint64_t> allocations{0};
}

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
// Out of line: a free inlined into a caller meets the operator new call
// there, which the compiler takes for a mismatched pair.
[[gnu::noinline]] static void release(void* p) noexcept { std::free(p); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }

namespace {

using Clock = std::chrono::steady_clock;
constexpr int CHUNK = 1 << 20;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

long rssKiB(int pid) {
    std::ifstream status(pid == 0 ? "/proc/self/status" : "/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
    return -1;
}

void shutDown(const Poco::Net::Socket& socket) {
    const int fd = socket.impl()->sockfd();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

// The far end of every path: per connection it reads and counts, or sends
// (mode SEND) a given number of bytes.
class Sink {
public:
    // READ counts what arrives, SEND sends first, ANSWER answers every
    // request (a read) with two small writes ANSWER_GAP_US apart, as a
    // service that writes a header and then a body.
    enum class Mode { READ, SEND, ANSWER };
    static constexpr int ANSWER_PART = 16;
    static constexpr int ANSWER_GAP_US = 200;
    Sink() : socket_(Poco::Net::SocketAddress("127.0.0.1", 0), 256) {
        acceptor_ = std::thread([this] { acceptLoop(); });
    }
    ~Sink() {
        stopping_ = true;
        shutDown(socket_);
        acceptor_.join();
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& c : connections_) shutDown(c->socket);
        for (auto& c : connections_) c->thread.join();
    }
    int port() const { return socket_.address().port(); }
    void setMode(Mode mode, std::uint64_t sendBytes) {
        mode_ = mode;
        sendBytes_ = sendBytes;
    }
    // Bytes read so far per connection, in accept order.
    std::vector<std::uint64_t> counts() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::uint64_t> result;
        for (auto& c : connections_) result.push_back(c->bytes.load());
        return result;
    }
    std::uint64_t total() {
        std::uint64_t sum = 0;
        for (auto n : counts()) sum += n;
        return sum;
    }
    std::size_t accepted() {
        std::lock_guard<std::mutex> lock(mutex_);
        return connections_.size();
    }
    void forget() {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& c : connections_) shutDown(c->socket);
        for (auto& c : connections_) c->thread.join();
        connections_.clear();
    }

private:
    struct Connection {
        Poco::Net::StreamSocket socket;
        std::atomic<std::uint64_t> bytes{0};
        std::thread thread;
    };
    void acceptLoop() {
        while (!stopping_) {
            Poco::Net::StreamSocket s;
            try {
                s = socket_.acceptConnection();
            } catch (...) {
                if (stopping_) return;
                continue;
            }
            auto c = std::make_shared<Connection>();
            c->socket = s;
            std::lock_guard<std::mutex> lock(mutex_);
            c->thread = std::thread([this, c] { serve(*c); });
            connections_.push_back(c);
        }
    }
    void serve(Connection& c) {
        std::vector<char> buffer(CHUNK, 'x');
        try {
            if (mode_ == Mode::SEND) {
                for (std::uint64_t done = 0; done < sendBytes_; done += CHUNK) c.socket.sendBytes(buffer.data(), CHUNK);
            }
            for (;;) {
                const int n = c.socket.receiveBytes(buffer.data(), CHUNK);
                if (n <= 0) return;
                c.bytes.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
                if (mode_ == Mode::ANSWER) {
                    // Only the hops between measure: this end sends at once.
                    c.socket.setNoDelay(true);
                    c.socket.sendBytes(buffer.data(), ANSWER_PART);
                    std::this_thread::sleep_for(std::chrono::microseconds(ANSWER_GAP_US));
                    c.socket.sendBytes(buffer.data(), ANSWER_PART);
                }
            }
        } catch (...) {
        }
    }

    Poco::Net::ServerSocket socket_;
    std::thread acceptor_;
    std::atomic<bool> stopping_{false};
    std::atomic<Mode> mode_{Mode::READ};
    std::atomic<std::uint64_t> sendBytes_{0};
    std::mutex mutex_;
    std::vector<std::shared_ptr<Connection>> connections_;
};

// A plain TCP relay: each accepted connection is joined to the target by
// two copying threads with 1 MiB buffers.
class Relay {
public:
    explicit Relay(int target) : target_(target), socket_(Poco::Net::SocketAddress("127.0.0.1", 0), 64) {
        acceptor_ = std::thread([this] { acceptLoop(); });
    }
    ~Relay() {
        stopping_ = true;
        shutDown(socket_);
        acceptor_.join();
        for (auto& s : sockets_) shutDown(s);
        for (auto& t : threads_) t.join();
    }
    int port() const { return socket_.address().port(); }

private:
    static void copy(Poco::Net::StreamSocket from, Poco::Net::StreamSocket to) {
        std::vector<char> buffer(CHUNK);
        try {
            for (;;) {
                const int n = from.receiveBytes(buffer.data(), CHUNK);
                if (n <= 0) break;
                to.sendBytes(buffer.data(), n);
            }
        } catch (...) {
        }
        shutDown(to);
    }
    void acceptLoop() {
        while (!stopping_) {
            Poco::Net::StreamSocket in;
            try {
                in = socket_.acceptConnection();
            } catch (...) {
                if (stopping_) return;
                continue;
            }
            Poco::Net::StreamSocket out(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(target_)));
            in.setNoDelay(true);
            out.setNoDelay(true);
            sockets_.push_back(in);
            sockets_.push_back(out);
            threads_.emplace_back(copy, in, out);
            threads_.emplace_back(copy, out, in);
        }
    }
    int target_;
    Poco::Net::ServerSocket socket_;
    std::thread acceptor_;
    std::atomic<bool> stopping_{false};
    std::vector<Poco::Net::StreamSocket> sockets_;
    std::vector<std::thread> threads_;
};

// Writes size bytes on a new connection to the port and waits until the
// sink has counted them all; MB/s.
double pushThrough(int port, Sink& sink, std::uint64_t size) {
    sink.forget();
    sink.setMode(Sink::Mode::READ, 0);
    Poco::Net::StreamSocket client(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port)));
    std::vector<char> buffer(CHUNK, 'y');
    const auto start = Clock::now();
    for (std::uint64_t done = 0; done < size; done += CHUNK) client.sendBytes(buffer.data(), CHUNK);
    while (sink.total() < size) std::this_thread::sleep_for(std::chrono::microseconds(200));
    const double seconds = secondsSince(start);
    client.close();
    return static_cast<double>(size) / seconds / 1e6;
}

// The sink's side sends size bytes; the client reads them; MB/s.
double pullThrough(int port, Sink& sink, std::uint64_t size) {
    sink.forget();
    sink.setMode(Sink::Mode::SEND, size);
    const auto start = Clock::now();
    Poco::Net::StreamSocket client(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port)));
    std::vector<char> buffer(CHUNK);
    std::uint64_t done = 0;
    while (done < size) {
        const int n = client.receiveBytes(buffer.data(), CHUNK);
        if (n <= 0) throw std::runtime_error("the connection ended early");
        done += static_cast<std::uint64_t>(n);
    }
    const double seconds = secondsSince(start);
    client.close();
    sink.setMode(Sink::Mode::READ, 0);
    return static_cast<double>(size) / seconds / 1e6;
}

// Round trips of a 16-byte request answered in two parts by the sink:
// median and 99th percentile in milliseconds.
struct Latency {
    double median = 0, p99 = 0;
};

Latency answerTimes(int port, Sink& sink, int rounds) {
    sink.forget();
    sink.setMode(Sink::Mode::ANSWER, 0);
    Poco::Net::StreamSocket client(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port)));
    client.setNoDelay(true);
    char request[Sink::ANSWER_PART] = {};
    char answer[2 * Sink::ANSWER_PART];
    std::vector<double> times;
    for (int round = 0; round < rounds; ++round) {
        const auto start = Clock::now();
        client.sendBytes(request, sizeof request);
        for (int got = 0; got < static_cast<int>(sizeof answer);) {
            const int n = client.receiveBytes(answer + got, static_cast<int>(sizeof answer) - got);
            if (n <= 0) throw std::runtime_error("the connection ended early");
            got += n;
        }
        times.push_back(secondsSince(start) * 1000);
    }
    client.close();
    sink.setMode(Sink::Mode::READ, 0);
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], times[std::min(times.size() - 1, times.size() * 99 / 100)]};
}

struct Spread {
    double mean = 0, min = 0, max = 0;
};

// Many connections write at once for the given time; per-connection MB/s
// measured at the sink after one second of warm-up.
Spread shareTunnel(int port, Sink& sink, int connections, double seconds) {
    sink.forget();
    sink.setMode(Sink::Mode::READ, 0);
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    std::vector<Poco::Net::StreamSocket> sockets;
    for (int i = 0; i < connections; ++i)
        sockets.emplace_back(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port)));
    for (auto& s : sockets)
        writers.emplace_back([&stop, s]() mutable {
            std::vector<char> buffer(256 * 1024, 'z');
            try {
                while (!stop) s.sendBytes(buffer.data(), static_cast<int>(buffer.size()));
            } catch (...) {
            }
        });
    while (sink.accepted() < static_cast<std::size_t>(connections)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const auto before = sink.counts();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const auto after = sink.counts();
    const double elapsed = secondsSince(start);
    stop = true;
    for (auto& s : sockets) shutDown(s);
    for (auto& t : writers) t.join();
    Spread spread;
    spread.min = 1e18;
    for (std::size_t i = 0; i < after.size(); ++i) {
        const double rate = static_cast<double>(after[i] - before[i]) / elapsed / 1e6;
        spread.mean += rate / static_cast<double>(after.size());
        spread.min = std::min(spread.min, rate);
        spread.max = std::max(spread.max, rate);
    }
    return spread;
}

// The demo server as a child process, signed in, with a desk.
class DemoServer {
public:
    DemoServer(const std::string& stream) {
        Poco::Pipe out;
        process_ = std::make_unique<Poco::ProcessHandle>(Poco::Process::launch(
            DEMO_SERVER_PROGRAM, {"--port=0", "--tunnel-port=0", "--stream=" + stream}, nullptr, &out, nullptr));
        stdout_ = std::make_unique<Poco::PipeInputStream>(out);
        const std::string url = waitFor("listening on ");
        port_ = std::stoi(url.substr(url.rfind(':') + 1));
    }
    ~DemoServer() {
        ::kill(process_->id(), SIGTERM);
        process_->wait();
    }
    // The rest of the next output line that holds the marker.
    std::string waitFor(const std::string& marker) {
        std::string line;
        while (std::getline(*stdout_, line)) {
            const auto at = line.find(marker);
            if (at != std::string::npos) return line.substr(at + marker.size());
        }
        throw std::runtime_error("demo-server ended before printing " + marker);
    }
    int port() const { return port_; }
    int pid() const { return process_->id(); }

    // Signs in as demo/demo and opens a desk: the client id.
    std::string openDesk(std::string& cookie, std::string& csrf) {
        Poco::Net::HTTPClientSession session("127.0.0.1", static_cast<Poco::UInt16>(port_));
        Poco::Net::HTTPRequest signIn(Poco::Net::HTTPRequest::HTTP_POST, "/signin", Poco::Net::HTTPRequest::HTTP_1_1);
        const std::string form = "username=demo&password=demo";
        signIn.setContentType("application/x-www-form-urlencoded");
        signIn.setContentLength(static_cast<std::streamsize>(form.size()));
        session.sendRequest(signIn) << form;
        Poco::Net::HTTPResponse answer;
        std::istream& body = session.receiveResponse(answer);
        Poco::NullOutputStream ignore;
        Poco::StreamCopier::copyStream(body, ignore);
        std::vector<Poco::Net::HTTPCookie> cookies;
        answer.getCookies(cookies);
        for (const auto& c : cookies)
            if (c.getName() == "httpSID") cookie = c.getValue();
        Poco::Net::NameValueCollection cookieHeader;
        cookieHeader.add("httpSID", cookie);
        Poco::Net::HTTPRequest page(Poco::Net::HTTPRequest::HTTP_GET, "/quarrydesk.html", Poco::Net::HTTPRequest::HTTP_1_1);
        page.setCookies(cookieHeader);
        session.sendRequest(page);
        std::string html;
        Poco::StreamCopier::copyToString(session.receiveResponse(answer), html);
        std::smatch match;
        if (!std::regex_search(html, match, std::regex("name=\"CSRFToken\" content=\"([^\"]+)\"")))
            throw std::runtime_error("no CSRF token on the desk page");
        csrf = match[1];
        Poco::Net::HTTPRequest upgrade(Poco::Net::HTTPRequest::HTTP_GET, "/ws/page", Poco::Net::HTTPRequest::HTTP_1_1);
        upgrade.setCookies(cookieHeader);
        upgrade.set("Origin", "http://127.0.0.1:" + std::to_string(port_));
        Poco::Net::HTTPClientSession wsSession("127.0.0.1", static_cast<Poco::UInt16>(port_));
        pageSocket_ = std::make_unique<Poco::Net::WebSocket>(wsSession, upgrade, answer);
        char hello[4096];
        int flags = 0;
        const int n = pageSocket_->receiveFrame(hello, sizeof hello, flags);
        const std::string text(hello, static_cast<std::size_t>(std::max(n, 0)));
        if (!std::regex_search(text, match, std::regex("\"clientId\":\"([^\"]+)\"")))
            throw std::runtime_error("no hello on the page socket: " + text);
        return match[1];
    }

private:
    std::unique_ptr<Poco::ProcessHandle> process_;
    std::unique_ptr<Poco::PipeInputStream> stdout_;
    std::unique_ptr<Poco::Net::WebSocket> pageSocket_;
    int port_ = 0;
};

std::uint64_t argument(int argc, char** argv, const std::string& name, std::uint64_t fallback) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.compare(0, name.size() + 1, name + "=") == 0) return std::stoull(a.substr(name.size() + 1));
    }
    return fallback;
}

} // namespace

int main(int argc, char** argv) {
    const std::uint64_t size = argument(argc, argv, "--size", 2048) << 20;
    const int connections = static_cast<int>(argument(argc, argv, "--connections", 100));
    const double seconds = static_cast<double>(argument(argc, argv, "--seconds", 5));
    const std::uint64_t soak = argument(argc, argv, "--soak", 10) << 30;

    const std::string stream = Poco::TemporaryFile::tempName() + ".h264";
    Poco::TemporaryFile::registerForDeletion(stream);
    Poco::ProcessHandle make = Poco::Process::launch(DEMO_STREAM_SCRIPT, {stream, "192x108", "1", "25"});
    if (make.wait() != 0) return 1;

    DemoServer demo(stream);
    std::string cookie, csrf;
    const std::string clientId = demo.openDesk(cookie, csrf);
    qor::serverIsSecure.store(false);
    qor::serverPort.store(demo.port());
    qor::setSessionCookieValue(cookie);
    qor::NativeClient::instance()->setCsrfToken(csrf);

    Sink sink;
    Sink relaySink;
    Relay relay(relaySink.port());
    qor::ServerConnectionFactory factory("127.0.0.1");
    qor::QorWebSocket* socket = factory.connectTunnelSocket(clientId, 0, "bench", sink.port(), 0);
    if (socket == nullptr) {
        std::fprintf(stderr, "no tunnel WebSocket\n");
        return 1;
    }
    auto tunnel = std::make_unique<qor::QorTunnelServerInterface>(clientId, "bench", sink.port(), socket);
    const std::string endPoint = demo.waitFor("demo-server tunnel bench at ");
    const int tunnelPort = std::stoi(endPoint.substr(endPoint.rfind(':') + 1));

    std::printf("one connection, %llu MiB each run (MB/s, best of 3):\n",
                static_cast<unsigned long long>(size >> 20));
    for (const bool towardsSink : {true, false}) {
        double best[2] = {0, 0};
        for (int round = 0; round < 3; ++round) {
            const int ports[2] = {tunnelPort, relay.port()};
            Sink* sinks[2] = {&sink, &relaySink};
            for (int path = 0; path < 2; ++path) {
                const double rate = towardsSink ? pushThrough(ports[path], *sinks[path], size)
                                                : pullThrough(ports[path], *sinks[path], size);
                best[path] = std::max(best[path], rate);
            }
        }
        std::printf("  %-34s tunnel %7.0f  relay %7.0f  ratio %.2f\n",
                    towardsSink ? "server end -> client's tunnel:" : "client's tunnel -> server end:", best[0],
                    best[1], best[0] / best[1]);
    }

    const std::uint64_t before = allocations.load();
    const std::uint64_t counted = 1ull << 30;
    pushThrough(tunnelPort, sink, counted);
    std::printf("allocations per MiB through the tunnel (whole process): %.2f\n",
                static_cast<double>(allocations.load() - before) / static_cast<double>(counted >> 20));

    for (const bool throughTunnel : {true, false}) {
        const Spread s = shareTunnel(throughTunnel ? tunnelPort : relay.port(), throughTunnel ? sink : relaySink,
                                     connections, seconds);
        std::printf("%d connections at once, %s: mean %.1f MB/s, min %.1f (%.2f of mean), max %.1f (%.2f of mean), total %.0f\n",
                    connections, throughTunnel ? "tunnel" : "relay ", s.mean, s.min, s.min / s.mean, s.max,
                    s.max / s.mean, s.mean * connections);
    }

    // Small frames: the client's tunnel sends each part of the answer as a
    // frame of its own. Without TCP_NODELAY the second waits until the demo
    // server acknowledges the first, which it delays.
    std::printf("round trip of a request answered in two parts (ms, median / p99 of 50):\n");
    for (const bool noDelay : {true, false}) {
        socket->socket()->setNoDelay(noDelay);
        const Latency tunnelTimes = answerTimes(tunnelPort, sink, 50);
        const Latency relayTimes = answerTimes(relay.port(), relaySink, 50);
        std::printf("  client's WebSocket %-22s tunnel %6.2f / %6.2f  relay %6.2f / %6.2f\n",
                    noDelay ? "with TCP_NODELAY:" : "without (Nagle):", tunnelTimes.median, tunnelTimes.p99,
                    relayTimes.median, relayTimes.p99);
    }
    socket->socket()->setNoDelay(true);

    std::printf("memory over %llu GiB through one connection (RSS KiB, this process / demo server):\n",
                static_cast<unsigned long long>(soak >> 30));
    {
        sink.forget();
        Poco::Net::StreamSocket client(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(tunnelPort)));
        std::vector<char> buffer(CHUNK, 'w');
        const auto start = Clock::now();
        for (std::uint64_t done = 0; done < soak;) {
            client.sendBytes(buffer.data(), CHUNK);
            done += CHUNK;
            if (done % (1ull << 30) == 0) {
                while (sink.total() < done) std::this_thread::sleep_for(std::chrono::microseconds(200));
                std::printf("  %3llu GiB: %ld / %ld\n", static_cast<unsigned long long>(done >> 30), rssKiB(0),
                            rssKiB(demo.pid()));
            }
        }
        std::printf("  %.0f MB/s over the whole run\n", static_cast<double>(soak) / secondsSince(start) / 1e6);
        client.close();
    }
    tunnel.reset();
    return 0;
}
