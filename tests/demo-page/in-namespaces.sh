#!/bin/sh
# Runs a command as a person would on a machine of their own: in network,
# mount and process namespaces of its own (loopback up, so fixed ports such
# as the demo's 8080 never clash with other tests; a private /tmp, so fixed
# paths such as /tmp/demo.h264 neither) and on an X server of its own.
# A checkout or build folder that lies under /tmp itself (a fresh clone in
# /tmp, say) stays where it is: its top folder under /tmp is bound into the
# private /tmp from the old one, which an open descriptor still reaches.
# Needs root (CI and the developers' machines); without namespaces the
# command fails rather than running against the machine's own ports.
support=$(cd "$(dirname "$0")/../support" && pwd)
exec unshare --net --mount --pid --fork --mount-proc sh -c '
  exec 3</tmp
  mount -t tmpfs tmpfs /tmp || exit 1
  for path in "$0" "$PWD"; do
    case $path in
      /tmp/?*)
        top=${path#/tmp/}; top=${top%%/*}
        [ -d "/tmp/$top" ] && continue
        mkdir "/tmp/$top" && mount --no-canonicalize --bind "/proc/self/fd/3/$top" "/tmp/$top" || exit 1 ;;
    esac
  done
  exec 3<&-
  ip link set lo up && exec "$@"' "$support" "$support/own-display.sh" "$@"
