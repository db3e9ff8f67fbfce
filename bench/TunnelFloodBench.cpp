// A hostile server against the client's tunnel: it opens many connections
// (500 by default) to a local service that accepts them and never reads,
// then sends DATA frames (1 MiB by default) to them in turn. Measured while
// it pushes:
//
//   - what the system holds unsent in the send queues of the tunnel's local
//     sockets (the sum of /proc/net/tcp's tx_queue), and what waits in the
//     service's receive queues;
//   - how much this process (the client's tunnel) grew (RSS).
//
// The server and the service run in a child process, so that only the
// tunnel counts in this process's memory. Run it in a network namespace of
// its own so that nothing else on the machine shares the loopback table:
//
//   unshare --net sh -c 'ip link set lo up; qdk-bench-tunnel-flood'
//
// Usage: qdk-bench-tunnel-flood [--connections=N] [--frame=KiB] [--seconds=S]
#include "QorTunnelServerInterface.h"
#include "QorWebSocket.h"
#include "WebSocketAcceptor.h"

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Net/WebSocket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::uint64_t argument(int argc, char** argv, const std::string& name, std::uint64_t fallback) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.compare(0, name.size() + 1, name + "=") == 0) return std::stoull(a.substr(name.size() + 1));
    }
    return fallback;
}

long rssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
    return -1;
}

// The established loopback connections of the service's port: the sum of
// the send queues of the sockets that connect to it (the tunnel's), and of
// the receive queues of those that it accepted, and their count.
struct Queues {
    std::uint64_t unsent = 0;
    std::uint64_t unread = 0;
    int connections = 0;
};

Queues queuesOf(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    Queues queues;
    while (std::getline(table, line)) {
        std::istringstream row(line);
        std::string slot, local, peer, state, both;
        if (!(row >> slot >> local >> peer >> state >> both) || state != "01") continue;
        const auto portOf = [](const std::string& end) { return std::stoi(end.substr(end.find(':') + 1), nullptr, 16); };
        const std::uint64_t tx = std::stoull(both.substr(0, both.find(':')), nullptr, 16);
        const std::uint64_t rx = std::stoull(both.substr(both.find(':') + 1), nullptr, 16);
        if (portOf(peer) == port) {
            queues.unsent += tx;
            ++queues.connections;
        } else if (portOf(local) == port) {
            queues.unread += rx;
        }
    }
    return queues;
}

void putUInt32(char* target, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) target[i] = static_cast<char>((value >> (8 * i)) & 0xffu);
}

// The child: the service that never reads, and the hostile server.
[[noreturn]] void serve(Poco::Net::ServerSocket serviceSocket, Poco::Net::ServerSocket peerSocket, int connections,
                        int frameBytes) {
    std::atomic<int> accepted{0};
    std::vector<Poco::Net::StreamSocket> held;
    std::thread service([&] {
        for (;;) {
            try {
                held.push_back(serviceSocket.acceptConnection());
                accepted.fetch_add(1);
            } catch (...) {
            }
        }
    });
    service.detach();
    try {
        WebSocketAcceptor acceptor(peerSocket);
        std::unique_ptr<Poco::Net::WebSocket> ws(acceptor.waitForSocket(30000));
        if (!ws) _exit(2);
        std::vector<char> frame(static_cast<std::size_t>(frameBytes) + 8, 'f');
        for (int id = 1; id <= connections; ++id) {
            putUInt32(frame.data(), 1);
            putUInt32(frame.data() + 4, static_cast<std::uint32_t>(id));
            ws->sendFrame(frame.data(), 8, Poco::Net::WebSocket::FRAME_BINARY);
        }
        while (accepted.load() < connections) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        for (;;) {
            for (int id = 1; id <= connections; ++id) {
                putUInt32(frame.data(), 0);
                putUInt32(frame.data() + 4, static_cast<std::uint32_t>(id));
                ws->sendFrame(frame.data(), static_cast<int>(frame.size()), Poco::Net::WebSocket::FRAME_BINARY);
            }
        }
    } catch (...) {
    }
    _exit(0);
}

} // namespace

int main(int argc, char** argv) {
    const int connections = static_cast<int>(argument(argc, argv, "--connections", 500));
    const int frameBytes = static_cast<int>(argument(argc, argv, "--frame", 1024) * 1024);
    const int seconds = static_cast<int>(argument(argc, argv, "--seconds", 20));

    Poco::Net::ServerSocket serviceSocket(Poco::Net::SocketAddress("127.0.0.1", 0), 1024);
    Poco::Net::ServerSocket peerSocket(Poco::Net::SocketAddress("127.0.0.1", 0), 16);
    const int servicePort = serviceSocket.address().port();
    const int peerPort = peerSocket.address().port();
    const pid_t child = ::fork();
    if (child < 0) return 1;
    if (child == 0) serve(serviceSocket, peerSocket, connections, frameBytes);
    serviceSocket.close();
    peerSocket.close();

    const long before = rssKiB();
    auto* tunnel = new qor::QorTunnelServerInterface(
        "client-1", "flood", servicePort,
        new qor::QorWebSocket(connectPocoWebSocket("127.0.0.1", peerPort, "/ws"), "flood"));
    std::printf("%d connections, DATA frames of %d KiB in turn, %d s (MiB):\n", connections, frameBytes / 1024,
                seconds);
    std::printf("  %4s %12s %12s %14s %12s\n", "s", "connections", "unsent", "service unread", "RSS growth");
    Queues most;
    long mostRss = before;
    const auto start = std::chrono::steady_clock::now();
    for (int tick = 1; tick <= seconds * 10; ++tick) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(100 * tick));
        const Queues now = queuesOf(servicePort);
        const long rss = rssKiB();
        most.unsent = std::max(most.unsent, now.unsent);
        most.unread = std::max(most.unread, now.unread);
        most.connections = std::max(most.connections, now.connections);
        mostRss = std::max(mostRss, rss);
        if (tick % 10 == 0)
            std::printf("  %4d %12d %12.1f %14.1f %12.1f\n", tick / 10, now.connections, now.unsent / 1048576.0,
                        now.unread / 1048576.0, (rss - before) / 1024.0);
    }
    std::printf("peak: unsent in the tunnel's local sockets %.1f MiB, unread at the service %.1f MiB, "
                "RSS growth %.1f MiB (%d connections)\n",
                most.unsent / 1048576.0, most.unread / 1048576.0, (mostRss - before) / 1024.0, most.connections);
    std::fflush(stdout);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    delete tunnel;
    return 0;
}
