#!/bin/sh
# Runs the command in network and process namespaces of its own: the
# loopback interface is up, so that a test may listen on a fixed port (the
# vhproxy link's 7679, a broker's port 80) without clashing with other tests
# or the machine, and /proc shows only the test's own processes, so that a
# lookup of a program by name (the daemon "vhproxy") finds no other test's.
# A shell is the namespace's first process and collects orphans; the
# command's exit code is the shell's. The command finds
# QDK_OWN_NETWORK_NAMESPACE=1 in its environment. Where no namespace can be
# made (not root), the command runs as it is, without that variable: a test
# that needs a fixed address then fails and says so.
if unshare --net --pid --fork --mount-proc true 2>/dev/null; then
  export QDK_OWN_NETWORK_NAMESPACE=1
  exec unshare --net --pid --fork --mount-proc sh -c 'ip link set lo up && "$@"' own-namespaces "$@"
fi
unset QDK_OWN_NETWORK_NAMESPACE
exec "$@"
