#!/bin/sh
# Runs the command in network and process namespaces of its own: the
# loopback interface is up, so that a test may listen on a fixed port (the
# vhproxy link's 7679) without clashing with other tests or the machine, and
# /proc shows only the test's own processes, so that a lookup of a program
# by name (the daemon "vhproxy") finds no other test's. A shell is the
# namespace's first process and collects orphans; the command's exit code
# is the shell's. Where no namespace can be made (not root), the command
# does not run: the tests would depend on what else listens on the machine.
if ! unshare --net --pid --fork --mount-proc true 2>/dev/null; then
  echo "own-namespaces.sh: cannot make a network namespace (tests run as root): $*" >&2
  exit 1
fi
exec unshare --net --pid --fork --mount-proc sh -c 'ip link set lo up && "$@"' own-namespaces "$@"
