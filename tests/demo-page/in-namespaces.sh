#!/bin/sh
# Runs a command as a person would on a machine of their own: in network,
# mount and process namespaces of its own (loopback up, so fixed ports such
# as the demo's 8080 never clash with other tests; a private /tmp, so fixed
# paths such as /tmp/demo.h264 neither) and on an X server of its own.
# Needs root (CI and the developers' machines); without namespaces the
# command fails rather than running against the machine's own ports.
support=$(dirname "$0")/../support
exec unshare --net --mount --pid --fork --mount-proc \
  sh -c 'mount -t tmpfs tmpfs /tmp && ip link set lo up && exec "$@"' in-namespaces \
  "$support/own-display.sh" "$@"
