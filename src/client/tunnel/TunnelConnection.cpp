#include "TunnelConnection.h"

#include "Logging.h"

#include <Poco/Exception.h>

namespace qor {

std::string connectionIdText(std::int32_t id) { return std::to_string(static_cast<std::uint32_t>(id)); }

TunnelConnection::TunnelConnection(std::int32_t connectionId, std::string creatorName,
                                   const Poco::Net::StreamSocket& localSocket)
    : socket(localSocket), id(connectionId), name(std::move(creatorName)) {}

TunnelConnection::~TunnelConnection() {
    if (isDebugEnabled()) {
        const std::string prefix = name + "-con-" + idText() + ": Packet/Bytes ";
        logDebug(prefix + "received " + std::to_string(packetsReceived) + "/" + std::to_string(bytesReceived));
        logDebug(prefix + "sent " + std::to_string(packetsSent) + "/" + std::to_string(bytesSent));
    }
    try {
        socket.close();
    } catch (const Poco::Exception&) {
        // Closing a socket that failed already: nothing left to release.
    }
}

std::string TunnelConnection::idText() const { return connectionIdText(id); }

} // namespace qor
