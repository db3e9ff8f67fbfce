#!/usr/bin/env bash
# Runs a command on an X server of its own, so that tests that depend on
# keyboard focus or window state cannot be disturbed by windows of other tests
# running at the same time. Xvfb picks a free display itself (-displayfd).
# It never resets when its last client goes (-noreset): a server that starts
# at the same time may take over its socket file, and a reset then re-creates
# its listeners while the next client connects, which can leave that client
# waiting for the connection set-up forever.
set -u
# Servers started at the same moment in other process namespaces may race
# for one display number (each takes the other's lock for a stale one): a
# server that ends without a display is started again.
for attempt in 1 2 3 4 5; do
  fifo=$(mktemp -u)
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset 3>"$fifo" 2>/dev/null &
  xvfb=$!
  display=
  read -r -t 30 display <"$fifo"
  rm -f "$fifo"
  [ -n "$display" ] && break
  kill "$xvfb" 2>/dev/null
  wait "$xvfb" 2>/dev/null
  sleep 0.$((RANDOM % 9 + 1))
done
if [ -z "${display:-}" ]; then
  echo "own-display: Xvfb did not start" >&2
  kill "$xvfb" 2>/dev/null
  exit 1
fi
export DISPLAY=":$display"
unset XAUTHORITY
"$@"
status=$?
kill "$xvfb" 2>/dev/null
wait "$xvfb" 2>/dev/null
exit $status
