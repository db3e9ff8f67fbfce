// The kernel's socket diagnostics (NETLINK_SOCK_DIAG): one request names a
// TCP socket by its local and remote address and port, and the kernel
// answers with that socket alone (a hash lookup, as for an arriving packet)
// with its state, its owner's user id and its inode. When no connection has
// the pair, the kernel's lookup falls back to a listener of the local
// address, so an answer counts only when it names the pair that was asked.
//
// Facts this relies on: the user id comes translated into the asking
// socket's user namespace; a socket whose owner closed it is listed without
// a user and inode (in FIN_WAIT*, TIME_WAIT, or gone); a connection that
// the listening process has not taken yet (accept) has inode 0 and, on
// older kernels, user 0, so the listener speaks for it then.
#include "TcpPeerIdentity.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>

namespace {

// How long the kernel may take to answer (it answers at once; this only
// keeps a caller from hanging on a netlink fault).
constexpr int answerTimeoutMs = 1000;

struct Endpoint {
    int family = AF_INET;
    unsigned char address[16] = {};
    std::uint16_t port = 0; // host order
};

// NLMSG_OK with the lengths compared as signed numbers: a message whose
// aligned length runs past the data leaves a negative remainder, which
// ends the walk.
bool messageFits(const nlmsghdr* message, int remaining) {
    return remaining >= static_cast<int>(sizeof(nlmsghdr)) && message->nlmsg_len >= sizeof(nlmsghdr) &&
           static_cast<long>(message->nlmsg_len) <= remaining;
}

bool sameEndpoint(const Endpoint& a, const Endpoint& b) {
    return a.family == b.family && a.port == b.port &&
           std::memcmp(a.address, b.address, a.family == AF_INET ? 4 : 16) == 0;
}

// An IPv4-mapped IPv6 address (::ffff:a.b.c.d) stands for the IPv4 one:
// a dual-stack socket and a plain IPv4 socket meet in the same connection.
void unmap(Endpoint& endpoint) {
    static const unsigned char prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (endpoint.family != AF_INET6 || std::memcmp(endpoint.address, prefix, 12) != 0) return;
    unsigned char v4[4];
    std::memcpy(v4, endpoint.address + 12, 4);
    std::memset(endpoint.address, 0, sizeof endpoint.address);
    std::memcpy(endpoint.address, v4, 4);
    endpoint.family = AF_INET;
}

bool endpointOf(const sockaddr_storage& address, Endpoint& endpoint) {
    if (address.ss_family == AF_INET) {
        const sockaddr_in& v4 = reinterpret_cast<const sockaddr_in&>(address);
        endpoint.family = AF_INET;
        std::memcpy(endpoint.address, &v4.sin_addr, 4);
        endpoint.port = ntohs(v4.sin_port);
    } else if (address.ss_family == AF_INET6) {
        const sockaddr_in6& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        endpoint.family = AF_INET6;
        std::memcpy(endpoint.address, &v6.sin6_addr, 16);
        endpoint.port = ntohs(v6.sin6_port);
        unmap(endpoint);
    } else {
        return false;
    }
    return true;
}

Endpoint endpointOf(std::uint8_t family, const __be32 address[4], __be16 port) {
    Endpoint endpoint;
    endpoint.family = family;
    std::memcpy(endpoint.address, address, family == AF_INET ? 4 : 16);
    endpoint.port = ntohs(port);
    unmap(endpoint);
    return endpoint;
}

std::string text(const Endpoint& endpoint) {
    char host[INET6_ADDRSTRLEN] = "?";
    ::inet_ntop(endpoint.family, endpoint.address, host, sizeof host);
    return endpoint.family == AF_INET6 ? "[" + std::string(host) + "]:" + std::to_string(endpoint.port)
                                       : std::string(host) + ":" + std::to_string(endpoint.port);
}

const char* stateName(int state) {
    static const char* const names[] = {"?",         "ESTABLISHED", "SYN_SENT", "SYN_RECV",   "FIN_WAIT1",
                                        "FIN_WAIT2", "TIME_WAIT",   "CLOSE",    "CLOSE_WAIT", "LAST_ACK",
                                        "LISTEN",    "CLOSING",     "NEW_SYN_RECV"};
    return state > 0 && state < static_cast<int>(sizeof names / sizeof names[0]) ? names[state] : "?";
}

// What the kernel said of one socket.
struct SocketEntry {
    Endpoint local;
    Endpoint remote;
    int state = 0;
    unsigned int userId = 0;
    std::uint64_t inode = 0;
};

// A socket to the kernel's diagnostics, kept open by each thread that asks:
// opening and closing one costs more than the question itself, and a
// listener asks once per connection. One that failed in any way is closed
// and a new one opened for the next question, so that no late answer to an
// earlier question can be taken for the next one's; questions are numbered
// as well.
class DiagSocket {
public:
    DiagSocket() = default;
    ~DiagSocket() { discard(); }
    DiagSocket(const DiagSocket&) = delete;
    DiagSocket& operator=(const DiagSocket&) = delete;

    // The open socket; false with the reason when none can be opened.
    bool open(std::string& reason) {
        if (fd_ >= 0) return true;
        fd_ = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
        if (fd_ < 0) {
            reason = std::string("can't open the socket diagnostics: ") + std::strerror(errno);
            return false;
        }
        timeval timeout{answerTimeoutMs / 1000, (answerTimeoutMs % 1000) * 1000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        return true;
    }
    void discard() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd() const { return fd_; }
    std::uint32_t nextSequence() { return ++sequence_; }

private:
    int fd_ = -1;
    std::uint32_t sequence_ = 0;
};

thread_local DiagSocket diagSocket;

TcpPeerLookup askOn(DiagSocket& socket, const Endpoint& local, const Endpoint& remote, SocketEntry& entry,
                    std::string& reason);

// The one TCP socket whose own address is local and whose peer is remote
// (remote all zero: the listener of local). Found with the entry, Gone when
// the kernel knows no such socket, Failed when it cannot be asked.
TcpPeerLookup askKernel(const Endpoint& local, const Endpoint& remote, SocketEntry& entry, std::string& reason) {
    if (!diagSocket.open(reason)) return TcpPeerLookup::Failed;
    const TcpPeerLookup lookup = askOn(diagSocket, local, remote, entry, reason);
    if (lookup == TcpPeerLookup::Failed) diagSocket.discard();
    return lookup;
}

TcpPeerLookup askOn(DiagSocket& socket, const Endpoint& local, const Endpoint& remote, SocketEntry& entry,
                    std::string& reason) {
    struct {
        nlmsghdr header;
        inet_diag_req_v2 body;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST; // one socket, no dump of the table
    request.header.nlmsg_seq = socket.nextSequence();
    request.body.sdiag_family = static_cast<std::uint8_t>(local.family);
    request.body.sdiag_protocol = IPPROTO_TCP;
    request.body.idiag_states = ~0U;
    request.body.id.idiag_sport = htons(local.port);
    request.body.id.idiag_dport = htons(remote.port);
    const std::size_t length = local.family == AF_INET ? 4 : 16;
    std::memcpy(request.body.id.idiag_src, local.address, length);
    std::memcpy(request.body.id.idiag_dst, remote.address, length);
    request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(socket.fd(), &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) !=
        static_cast<ssize_t>(sizeof request)) {
        reason = std::string("can't ask the socket diagnostics: ") + std::strerror(errno);
        return TcpPeerLookup::Failed;
    }
    alignas(nlmsghdr) char buffer[8192];
    for (;;) {
        sockaddr_nl from{};
        socklen_t fromLength = sizeof from;
        const ssize_t received = ::recvfrom(socket.fd(), buffer, sizeof buffer, 0,
                                            reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (received < 0) {
            if (errno == EINTR) continue;
            reason = std::string("no answer from the socket diagnostics: ") + std::strerror(errno);
            return TcpPeerLookup::Failed;
        }
        if (from.nl_pid != 0) continue; // only the kernel answers
        int remaining = static_cast<int>(received);
        for (const nlmsghdr* message = reinterpret_cast<const nlmsghdr*>(buffer); messageFits(message, remaining);
             message = NLMSG_NEXT(message, remaining)) {
            if (message->nlmsg_seq != request.header.nlmsg_seq) continue;
            if (message->nlmsg_type == NLMSG_ERROR) {
                if (message->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) {
                    reason = "a short error from the socket diagnostics";
                    return TcpPeerLookup::Failed;
                }
                const int error = -static_cast<const nlmsgerr*>(NLMSG_DATA(message))->error;
                if (error == ENOENT) {
                    reason = "no socket " + text(local) + " -> " + text(remote);
                    return TcpPeerLookup::Gone;
                }
                reason = std::string("the socket diagnostics refused: ") + std::strerror(error);
                return TcpPeerLookup::Failed;
            }
            if (message->nlmsg_type != SOCK_DIAG_BY_FAMILY) continue;
            if (message->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
                reason = "a short answer from the socket diagnostics";
                return TcpPeerLookup::Failed;
            }
            const inet_diag_msg* answer = static_cast<const inet_diag_msg*>(NLMSG_DATA(message));
            if (answer->idiag_family != AF_INET && answer->idiag_family != AF_INET6) {
                reason = "an answer of another address family from the socket diagnostics";
                return TcpPeerLookup::Failed;
            }
            entry.local = endpointOf(answer->idiag_family, answer->id.idiag_src, answer->id.idiag_sport);
            entry.remote = endpointOf(answer->idiag_family, answer->id.idiag_dst, answer->id.idiag_dport);
            entry.state = answer->idiag_state;
            entry.userId = answer->idiag_uid;
            entry.inode = answer->idiag_inode;
            return TcpPeerLookup::Found;
        }
    }
}

// The socket of the pair local -> remote, only when the kernel named it by
// exactly that pair (not a listener it fell back to).
TcpPeerLookup connectionSocket(const Endpoint& local, const Endpoint& remote, SocketEntry& entry,
                               std::string& reason) {
    const TcpPeerLookup lookup = askKernel(local, remote, entry, reason);
    if (lookup != TcpPeerLookup::Found) return lookup;
    if (!sameEndpoint(entry.local, local) || !sameEndpoint(entry.remote, remote)) {
        reason = "no socket " + text(local) + " -> " + text(remote);
        return TcpPeerLookup::Gone;
    }
    return TcpPeerLookup::Found;
}

// This end and the other end of the socket's connection; Gone when it has
// none (any more: a reset ends it).
TcpPeerLookup endpoints(const Poco::Net::StreamSocket& socket, Endpoint& own, Endpoint& other,
                        std::string& reason) {
    const int fd = socket.impl()->sockfd();
    sockaddr_storage ownAddress{}, otherAddress{};
    socklen_t ownLength = sizeof ownAddress, otherLength = sizeof otherAddress;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ownAddress), &ownLength) != 0) {
        reason = std::string("not a socket: ") + std::strerror(errno);
        return TcpPeerLookup::Failed;
    }
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&otherAddress), &otherLength) != 0) {
        const int error = errno;
        reason = std::string("no connection: ") + std::strerror(error);
        return error == ENOTCONN ? TcpPeerLookup::Gone : TcpPeerLookup::Failed;
    }
    if (!endpointOf(ownAddress, own) || !endpointOf(otherAddress, other)) {
        reason = "not an IP socket";
        return TcpPeerLookup::Failed;
    }
    if (own.family != other.family) {
        reason = "addresses of two families: " + text(own) + " -> " + text(other);
        return TcpPeerLookup::Failed;
    }
    return TcpPeerLookup::Found;
}

// The other end of the socket's connection (other) and the kernel's entry
// of the socket there.
TcpPeerLookup otherEnd(const Poco::Net::StreamSocket& socket, Endpoint& other, SocketEntry& entry,
                       std::string& reason) {
    Endpoint own;
    const TcpPeerLookup lookup = endpoints(socket, own, other, reason);
    if (lookup != TcpPeerLookup::Found) return lookup;
    return connectionSocket(other, own, entry, reason);
}

TcpPeerLookup found(const SocketEntry& entry, TcpPeerIdentity& peer) {
    peer.userId = entry.userId;
    peer.inode = entry.inode;
    return TcpPeerLookup::Found;
}

} // namespace

TcpPeerLookup tcpConnectingPeer(const Poco::Net::StreamSocket& accepted, TcpPeerIdentity& peer, std::string& reason) {
    Endpoint other;
    SocketEntry entry;
    const TcpPeerLookup lookup = otherEnd(accepted, other, entry, reason);
    if (lookup != TcpPeerLookup::Found) return lookup;
    if (entry.state != TCP_ESTABLISHED) {
        reason = "the peer's socket " + text(other) + " is " + stateName(entry.state);
        return TcpPeerLookup::Gone;
    }
    if (entry.inode == 0) {
        reason = "the peer's socket " + text(other) + " is held by no process";
        return TcpPeerLookup::Gone;
    }
    return found(entry, peer);
}

TcpPeerLookup tcpAcceptingPeer(const Poco::Net::StreamSocket& connected, TcpPeerIdentity& peer, std::string& reason) {
    Endpoint other;
    SocketEntry entry;
    TcpPeerLookup lookup = otherEnd(connected, other, entry, reason);
    if (lookup != TcpPeerLookup::Found) return lookup;
    if (entry.state != TCP_ESTABLISHED && entry.state != TCP_SYN_RECV) {
        reason = "the listener's end " + text(other) + " is " + stateName(entry.state);
        return TcpPeerLookup::Gone;
    }
    if (entry.inode != 0) return found(entry, peer);
    // Not taken by the listening process yet: the listener speaks for it.
    Endpoint anyone;
    anyone.family = other.family;
    lookup = askKernel(other, anyone, entry, reason);
    if (lookup != TcpPeerLookup::Found) return lookup;
    if (entry.state != TCP_LISTEN || entry.local.port != other.port || entry.inode == 0) {
        reason = "no listener holds " + text(other);
        return TcpPeerLookup::Gone;
    }
    return found(entry, peer);
}
