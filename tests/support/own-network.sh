#!/bin/sh
# Runs the command in a network namespace of its own with the loopback
# interface up, so that a test may listen on a fixed port (the vhproxy
# link's 7679) without clashing with other tests or the machine. Where no
# namespace can be made (not root), the command runs as it is.
if unshare --net true 2>/dev/null; then
  exec unshare --net sh -c 'ip link set lo up && exec "$@"' own-network "$@"
fi
exec "$@"
