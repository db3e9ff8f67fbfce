#!/usr/bin/env bash
# Installs what is needed, builds the client and the demo server, and starts
# both: the demo server plays the remote-desktop service on 127.0.0.1 with a
# moving test picture, and the client signs in to it as demo/demo.
# Usage: scripts/run-demo.sh [extra client options...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build -DCMAKE_BUILD_TYPE=Release -DQDK_BUILD_TESTS=OFF

work=$(mktemp -d)
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; rm -rf "$work"' EXIT
tools/demo-server/make-demo-stream.sh "$work/demo.h264" >/dev/null
build/tools/demo-server/demo-server --port=0 --stream="$work/demo.h264" >"$work/server.out" &
server=$!
for _ in $(seq 100); do
  url=$(sed -n 's/^demo-server listening on //p' "$work/server.out")
  [ -n "$url" ] && break
  sleep 0.1
done
[ -n "${url:-}" ] || { echo "The demo server did not start" >&2; exit 1; }
echo "Demo server at $url"
build/src/client/app/quarrydesk-client --user=demo --password=demo "$@" "$url"
