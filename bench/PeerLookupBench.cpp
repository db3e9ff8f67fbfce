// Cost of telling who holds the other end of a loopback connection, while
// the socket table fills with connections in TIME_WAIT (any user can make
// tens of thousands of them in a second). The kernel is asked for one
// socket by its address pair, so the cost should stay flat; reading the
// whole table (/proc/net/tcp) is timed beside it for comparison.
//
// Run as root it makes a network namespace of its own, so that its
// TIME_WAIT sockets stay out of the machine's table; otherwise it runs in
// the current one. Usage: qdk-bench-peer [TIME_WAIT sockets at most]
#include "TcpPeerIdentity.h"

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

constexpr int LOOKUPS = 2000;
constexpr int TABLE_READS = 20;

bool privateNetwork() {
    if (::unshare(CLONE_NEWNET) != 0) return false;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    const bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
                    (request.ifr_flags |= IFF_UP, ::ioctl(fd, SIOCSIFFLAGS, &request) == 0);
    if (fd >= 0) ::close(fd);
    return up;
}

// Connections that this side closes first end in TIME_WAIT here.
void addTimeWait(Poco::Net::ServerSocket& listener, int count) {
    for (int i = 0; i < count; ++i) {
        Poco::Net::StreamSocket client(listener.address());
        Poco::Net::StreamSocket accepted = listener.acceptConnection();
        client.close();
        accepted.close();
    }
}

int tableRows() {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    int rows = -1; // the column titles
    while (std::getline(table, line)) ++rows;
    return rows;
}

template <typename Body>
double microsecondsPer(int rounds, Body body) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) body();
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / rounds;
}

} // namespace

int main(int argc, char** argv) {
    const int most = argc > 1 ? std::atoi(argv[1]) : 20000;
    std::printf("network namespace: %s\n", privateNetwork() ? "own" : "the current one (not root)");
    Poco::Net::ServerSocket listener(Poco::Net::SocketAddress("127.0.0.1", 0));
    Poco::Net::StreamSocket client(listener.address());
    Poco::Net::StreamSocket accepted = listener.acceptConnection();
    Poco::Net::ServerSocket churn(Poco::Net::SocketAddress("127.0.0.1", 0));

    std::printf("%10s %12s %14s %16s\n", "TIME_WAIT", "table rows", "lookup (us)", "table read (us)");
    int made = 0;
    for (const int target : {0, most / 20, most / 4, most}) {
        addTimeWait(churn, target - made);
        made = target;
        TcpPeerIdentity peer;
        std::string reason;
        bool found = true;
        const double lookup = microsecondsPer(LOOKUPS, [&] {
            found = found && tcpConnectingPeer(accepted, peer, reason) == TcpPeerLookup::Found;
        });
        if (!found) {
            std::fprintf(stderr, "lookup failed: %s\n", reason.c_str());
            return 1;
        }
        const double read = microsecondsPer(TABLE_READS, [] { tableRows(); });
        std::printf("%10d %12d %14.1f %16.1f\n", target, tableRows(), lookup, read);
    }
    return 0;
}
