// The peer's socket is owned by the effective user of the process that made
// it; the client's user is its own effective user.
#include "BridgePeerFilter.h"

#include <unistd.h>

namespace qor {

bool isOwnUser(const TcpPeerIdentity& peer) { return peer.userId == static_cast<unsigned int>(::geteuid()); }

} // namespace qor
