// The socket table is /proc/net/tcp and /proc/net/tcp6 of this thread's
// network namespace: one line per socket with its local and remote address
// in hexadecimal (each 32-bit word of an address in host byte order), the
// port, the state and the owner's user id.
#include "TcpSocketOwner.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// The table's form of an address: every 4 bytes of the raw address as one
// 32-bit word in host (little-endian) order, then ":" and the port.
std::string tableAddress(const unsigned char* bytes, int length, int port) {
    std::string text;
    char hex[3];
    for (int word = 0; word < length; word += 4) {
        for (int i = 3; i >= 0; --i) {
            std::snprintf(hex, sizeof hex, "%02X", bytes[word + i]);
            text += hex;
        }
    }
    std::snprintf(hex, sizeof hex, "%02X", (port >> 8) & 0xff);
    text += ':';
    text += hex;
    std::snprintf(hex, sizeof hex, "%02X", port & 0xff);
    text += hex;
    return text;
}

// The address as the IPv4 table and as the IPv6 table (v4-mapped) show it.
void tableForms(const Poco::Net::SocketAddress& address, std::string& inV4, std::string& inV6) {
    const Poco::Net::IPAddress host = address.host();
    const unsigned char* raw = static_cast<const unsigned char*>(host.addr());
    if (host.family() == Poco::Net::IPAddress::IPv4) {
        unsigned char mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, raw[0], raw[1], raw[2], raw[3]};
        inV4 = tableAddress(raw, 4, address.port());
        inV6 = tableAddress(mapped, 16, address.port());
    } else {
        inV4.clear();
        inV6 = tableAddress(raw, 16, address.port());
    }
}

bool findIn(const char* table, const std::string& local, const std::string& remote, unsigned int& userId) {
    if (local.empty()) return false;
    std::ifstream file(table);
    std::string line;
    std::getline(file, line); // the column titles
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string slot, ownAddress, peerAddress, state, queues, timer, retransmits;
        unsigned int uid = 0;
        if (!(fields >> slot >> ownAddress >> peerAddress >> state >> queues >> timer >> retransmits >> uid)) continue;
        if (ownAddress == local && peerAddress == remote) {
            userId = uid;
            return true;
        }
    }
    return false;
}

} // namespace

bool tcpSocketOwner(const Poco::Net::SocketAddress& local, const Poco::Net::SocketAddress& remote,
                    unsigned int& userId) {
    std::string localV4, localV6, remoteV4, remoteV6;
    tableForms(local, localV4, localV6);
    tableForms(remote, remoteV4, remoteV6);
    return findIn("/proc/net/tcp", localV4, remoteV4, userId) || findIn("/proc/net/tcp6", localV6, remoteV6, userId);
}
