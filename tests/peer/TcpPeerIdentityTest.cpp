// Who holds the other end of a loopback connection, asked of the kernel for
// real sockets: live peers of this and of another user, peers that closed
// (also right after writing a request), listeners that have or have not
// taken the connection yet, over IPv4, dual-stack IPv6 and IPv6.
#include "TcpPeerIdentity.h"

#include "PeerProcess.h"
#include "TestPaths.h"

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>

namespace {

constexpr unsigned int otherUser = 65534;

std::uint64_t inodeOf(const Poco::Net::Socket& socket) {
    struct stat status {};
    if (::fstat(socket.impl()->sockfd(), &status) != 0) return 0;
    return status.st_ino;
}

// A listener on the host (port chosen by the kernel) and the address a
// client reaches it at.
struct Listener {
    explicit Listener(const std::string& host)
        : socket(Poco::Net::SocketAddress(host, 0)),
          reach(Poco::Net::SocketAddress(host == "::" ? "127.0.0.1" : host, socket.address().port())) {}
    Poco::Net::ServerSocket socket;
    Poco::Net::SocketAddress reach;
};

// The peer socket helper run as the ordinary user 65534.
std::unique_ptr<PeerProcess> otherUsersSocket(const std::vector<std::string>& arguments, std::string& port) {
    std::vector<std::string> all{"--reuid=65534", "--regid=65534", "--clear-groups", debianPython(),
                                 testSourcePath("peer/peer_socket.py")};
    all.insert(all.end(), arguments.begin(), arguments.end());
    auto process = std::make_unique<PeerProcess>("/usr/bin/setpriv", all, true);
    const std::string ready = arguments.front() == "listen" ? "listening " : "connected ";
    if (!process->waitForLine(ready, port, 20000)) {
        ADD_FAILURE() << "the other user's socket did not start: " << process->output();
        return nullptr;
    }
    return process;
}

const char* const hosts[] = {"127.0.0.1", "::", "::1"};

} // namespace

// The connecting peer is known only while its socket is established and
// held by a process; a peer that closed it, however it closed, is gone.
TEST(TcpPeerIdentity, ConnectingPeerCountsOnlyWhileItsSocketIsEstablished) {
    const struct Case {
        const char* name;
        std::function<void(Poco::Net::StreamSocket&)> peerDoes;
        TcpPeerLookup expected;
    } cases[] = {
        {"stays connected", [](Poco::Net::StreamSocket&) {}, TcpPeerLookup::Found},
        {"sent its request and waits", [](Poco::Net::StreamSocket& s) { s.sendBytes("{}", 2); },
         TcpPeerLookup::Found},
        {"closed", [](Poco::Net::StreamSocket& s) { s.close(); }, TcpPeerLookup::Gone},
        // What a racing client does: its request waits in the receive
        // buffer, its socket is closing without an owner.
        {"sent its request and closed at once",
         [](Poco::Net::StreamSocket& s) {
             s.sendBytes("{\"type\":326}", 12);
             s.close();
         },
         TcpPeerLookup::Gone},
        {"shut its sending side", [](Poco::Net::StreamSocket& s) { s.shutdownSend(); }, TcpPeerLookup::Gone},
        {"reset",
         [](Poco::Net::StreamSocket& s) {
             s.setLinger(true, 0);
             s.close();
         },
         TcpPeerLookup::Gone},
    };
    for (const char* host : hosts) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(host) + ", the peer " + c.name);
            Listener listener(host);
            Poco::Net::StreamSocket client(listener.reach);
            const std::uint64_t clientInode = inodeOf(client);
            Poco::Net::StreamSocket accepted = listener.socket.acceptConnection();
            c.peerDoes(client);
            TcpPeerIdentity peer;
            std::string reason;
            EXPECT_EQ(tcpConnectingPeer(accepted, peer, reason), c.expected) << reason;
            if (c.expected == TcpPeerLookup::Found) {
                EXPECT_EQ(peer.userId, ::geteuid());
                EXPECT_EQ(peer.inode, clientInode);
            } else {
                EXPECT_FALSE(reason.empty());
            }
        }
    }
}

TEST(TcpPeerIdentity, ConnectingPeerOfAnotherUser) {
    ASSERT_EQ(::geteuid(), 0u) << "runs a peer as another user";
    for (const char* host : hosts) {
        SCOPED_TRACE(host);
        Listener listener(host);
        std::string port;
        std::unique_ptr<PeerProcess> peerProcess = otherUsersSocket(
            {"connect", listener.reach.host().toString(), std::to_string(listener.reach.port())}, port);
        ASSERT_NE(peerProcess, nullptr);
        Poco::Net::StreamSocket accepted = listener.socket.acceptConnection();
        TcpPeerIdentity peer;
        std::string reason;
        ASSERT_EQ(tcpConnectingPeer(accepted, peer, reason), TcpPeerLookup::Found) << reason;
        EXPECT_EQ(peer.userId, otherUser);
        EXPECT_NE(peer.inode, 0u);
        // Once it has ended, nobody holds its end any more.
        peerProcess.reset();
        EXPECT_EQ(tcpConnectingPeer(accepted, peer, reason), TcpPeerLookup::Gone) << reason;
    }
}

// The accepting peer is the user whose listener took the connection, also
// before the listening process has accepted it, as long as its end stays
// established.
TEST(TcpPeerIdentity, AcceptingPeerIsTheListenersUser) {
    const struct Case {
        const char* name;
        bool accept;
        bool closeAccepted;
        bool closeListener;
        TcpPeerLookup expected;
    } cases[] = {
        {"accepted", true, false, false, TcpPeerLookup::Found},
        {"not accepted yet", false, false, false, TcpPeerLookup::Found},
        {"accepted, listener closed", true, false, true, TcpPeerLookup::Found},
        {"accepted and closed", true, true, false, TcpPeerLookup::Gone},
        {"listener closed before accepting", false, false, true, TcpPeerLookup::Gone},
    };
    for (const char* host : hosts) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(host) + ", " + c.name);
            Listener listener(host);
            const std::uint64_t listenerInode = inodeOf(listener.socket);
            Poco::Net::StreamSocket client(listener.reach);
            Poco::Net::StreamSocket accepted;
            if (c.accept) accepted = listener.socket.acceptConnection();
            if (c.closeAccepted) accepted.close();
            if (c.closeListener) listener.socket.close();
            TcpPeerIdentity peer;
            std::string reason;
            EXPECT_EQ(tcpAcceptingPeer(client, peer, reason), c.expected) << reason;
            if (c.expected == TcpPeerLookup::Found) {
                EXPECT_EQ(peer.userId, ::geteuid());
                EXPECT_EQ(peer.inode, c.accept ? inodeOf(accepted) : listenerInode);
            } else {
                EXPECT_FALSE(reason.empty());
            }
        }
    }
}

// A listener of another user is seen as that user, whether or not it has
// taken the connection (where the kernel does not know the user of a
// connection that was not taken yet, the listener's own socket tells).
TEST(TcpPeerIdentity, AcceptingPeerOfAnotherUser) {
    ASSERT_EQ(::geteuid(), 0u) << "runs a listener as another user";
    for (const char* host : hosts) {
        for (const bool accepts : {false, true}) {
            SCOPED_TRACE(std::string(host) + (accepts ? ", accepting" : ", not accepting"));
            std::string port;
            std::vector<std::string> arguments{"listen", host};
            if (accepts) arguments.push_back("accept");
            std::unique_ptr<PeerProcess> listener = otherUsersSocket(arguments, port);
            ASSERT_NE(listener, nullptr);
            Poco::Net::StreamSocket client(
                Poco::Net::SocketAddress(std::string(host) == "::" ? "127.0.0.1" : host, std::stoi(port)));
            TcpPeerIdentity peer;
            std::string reason;
            ASSERT_EQ(tcpAcceptingPeer(client, peer, reason), TcpPeerLookup::Found) << reason;
            EXPECT_EQ(peer.userId, otherUser);
            EXPECT_NE(peer.inode, 0u);
        }
    }
}

// A socket without a connection has no peer; one that is no socket at all
// cannot be asked about.
TEST(TcpPeerIdentity, SocketsWithoutAConnection) {
    Poco::Net::StreamSocket unconnected(Poco::Net::SocketAddress::IPv4);
    Poco::Net::StreamSocket closed(Poco::Net::SocketAddress::IPv4);
    closed.close();
    const struct {
        const char* name;
        Poco::Net::StreamSocket& socket;
        TcpPeerLookup expected;
    } cases[] = {
        {"unconnected", unconnected, TcpPeerLookup::Gone},
        {"closed", closed, TcpPeerLookup::Failed},
    };
    for (const auto& c : cases) {
        TcpPeerIdentity peer;
        std::string reason;
        EXPECT_EQ(tcpConnectingPeer(c.socket, peer, reason), c.expected) << c.name;
        EXPECT_FALSE(reason.empty()) << c.name;
        reason.clear();
        EXPECT_EQ(tcpAcceptingPeer(c.socket, peer, reason), c.expected) << c.name;
        EXPECT_FALSE(reason.empty()) << c.name;
    }
}
