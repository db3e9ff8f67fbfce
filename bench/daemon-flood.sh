#!/usr/bin/env bash
# Another local user floods the daemon's port while root asks for its status
# the way the client does. As uid 65534, one process connects to
# 127.0.0.1:7679 as fast as it can for 12 s, keeping the last 3000
# connections open, in three modes: sending nothing, only a 4-byte header
# that announces 1 MiB, and complete small requests. Meanwhile root makes
# 40 status requests (25 ms to connect, 5 s for the reply). Prints the
# requests answered in each mode, the daemon's peak memory (VmHWM) and how
# much its log grew over the three floods.
#
# Runs as root in a network namespace of its own (the port is fixed).
# Usage: bench/daemon-flood.sh [path to vhproxy]   (default: build's)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
program=$(realpath "${1:-$here/../build/src/client/app/vhproxy}")
if [ "${QDK_FLOOD_NAMESPACE:-}" != 1 ]; then
  [ "$(id -u)" = 0 ] || { echo "run as root (network namespace, second user)" >&2; exit 2; }
  export QDK_FLOOD_NAMESPACE=1
  exec unshare --net sh -c 'ip link set lo up && exec "$0" "$1"' "$0" "$program"
fi

python=/usr/bin/python3
helper=$here/daemon_flood.py
work=$(mktemp -d)
chmod 755 "$work"
cp "$helper" "$work/daemon_flood.py"
chmod 644 "$work/daemon_flood.py"
trap 'kill "$daemon" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT

cat >"$work/devices.json" <<'JSON'
{"VHSvrName":"bench","VHDevList":[{"VHDevAddress":"1.1","VHDevPrettyName":"Optical Mouse","VHDevState":1,"VHDevEnabled":1}]}
JSON
ulimit -n 20000
"$program" --service --logFile="$work/vhproxy.log" --devices="$work/devices.json" 2>"$work/stderr" &
daemon=$!
for _ in $(seq 100); do
  "$python" -c 'import socket; socket.create_connection(("127.0.0.1", 7679), 0.1).close()' 2>/dev/null && break
  sleep 0.1
done

logBytes() { cat "$work"/vhproxy.log* 2>/dev/null | wc -c; }
memory() { awk -v key="$1:" '$1 == key { print $2 }' "/proc/$daemon/status"; }

echo "daemon: $program"
echo "before the floods: VmRSS $(memory VmRSS) kB, VmHWM $(memory VmHWM) kB"
logBefore=$(logBytes)
for mode in nothing header request; do
  setpriv --reuid=65534 --regid=65534 --clear-groups "$python" "$work/daemon_flood.py" flood "$mode" 12 \
    >"$work/flood.out" 2>&1 &
  flood=$!
  sleep 0.5
  answered=$("$python" "$work/daemon_flood.py" ask 40 0.28)
  wait "$flood" || true
  echo "mode $mode: $answered ($(cat "$work/flood.out")); VmRSS $(memory VmRSS) kB"
  sleep 1
done
logAfter=$(logBytes)
rotated=$(find "$work" -name "vhproxy.log.*" | wc -l)
echo "peak memory (VmHWM): $(memory VmHWM) kB"
echo "log growth over the three floods: $((logAfter - logBefore)) bytes ($rotated rotated files kept;" \
     "rotation keeps 3, so with 3 the growth is at least this)"
kill -TERM "$daemon"
wait "$daemon" || true
echo "the log's lines of the floods and the stop:"
tail -n 8 "$work/vhproxy.log"
