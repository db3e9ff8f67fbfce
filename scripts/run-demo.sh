#!/usr/bin/env bash
# Installs what is needed, builds the client and the demo server, and starts
# both: the demo server plays the remote-desktop service on 127.0.0.1 with a
# moving test picture, and the client signs in to it as demo/demo.
#
# USB sharing runs on a device fixture: this machine's USB server qdvhwin64
# exports the devices listed in a file (a mouse, a memory stick and a
# keyboard) instead of the machine's own, and the helper daemon vhproxy runs
# beside it (where no service manager starts it). The desk page lists the
# devices with Connect and Disconnect; the demo server plays the remote USB
# client, which binds and releases them through the client's USB tunnel.
# Rewrite the device file (printed at the start) to plug and unplug devices.
#
# USB sharing needs root: the client speaks only to a vhproxy that root runs
# (as its service does), since any user may put a program on the daemon's
# port. Run by another user, the script says so first and starts the daemon
# as that user all the same: the client does not use it and the page says
# why, while the video and the tunnel work as for root.
#
# Usage: scripts/run-demo.sh [extra client options...]
# Environment: DEMO_USB_ALLOW="Mouse, Cruzer" sends that allow list (devices
# whose names contain none of the fragments are listed disabled: the demo
# server asks the client to list every device).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  # Root reaches this user's display through sudo's DISPLAY and XAUTHORITY.
  as_root="sudo "
  [ -z "${XAUTHORITY:-}" ] && [ -f "$HOME/.Xauthority" ] && as_root+="XAUTHORITY=$HOME/.Xauthority "
  cat <<EOF
Note: the demo's USB sharing needs root. The client speaks only to a USB
daemon (vhproxy) run by root, as its service is: any user could put a
program on the daemon's port (127.0.0.1:7679), and the client would hand it
this machine's USB devices. Run as $(id -un), the daemon is $(id -un)'s: the
page lists no USB devices and says why; the video and the tunnel work.
To share the demo's USB devices, run it as root:
    ${as_root}scripts/run-demo.sh${*:+ $*}

EOF
fi
scripts/install-deps.sh
scripts/build.sh build -DCMAKE_BUILD_TYPE=Release -DQDK_BUILD_TESTS=OFF

programs=build/src/client/app
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# Waits until a line beginning with the prefix is in the file; prints its rest.
wait_for_line() {
  local file=$1 prefix=$2 rest=""
  for _ in $(seq 100); do
    rest=$(sed -n "s|^$prefix||p" "$file" | head -n 1)
    [ -n "$rest" ] && break
    sleep 0.1
  done
  printf '%s' "$rest"
}

# The device fixture: what this machine's USB server exports.
devices=$work/usb-devices.json
cat >"$devices" <<'JSON'
{"VHSvrName": "demo-desk",
 "VHDevList": [
  {"VHDevAddress": "1-1", "VHDevVendorId": 1133, "VHDevProductId": 49271, "VHDevPath": "/sys/bus/usb/devices/1-1",
   "VHDevPrettyName": "USB Optical Mouse"},
  {"VHDevAddress": "1-2", "VHDevVendorId": 1921, "VHDevProductId": 21863, "VHDevPath": "/sys/bus/usb/devices/1-2",
   "VHDevPrettyName": "Cruzer Blade"},
  {"VHDevAddress": "1-3", "VHDevVendorId": 1266, "VHDevProductId": 4, "VHDevPath": "/sys/bus/usb/devices/1-3",
   "VHDevPrettyName": "Natural Ergonomic Keyboard"}]}
JSON

# The USB server on the client's default port (Client.VirtualHere.ServerPort);
# the client's USB module takes the one that answers there.
"$programs/qdvhwin64" --port 17570 --devices "$devices" --log "$work/vhserver.log" >"$work/usbserver.out" &
pids+=($!)
[ -n "$(wait_for_line "$work/usbserver.out" "qdvhwin64: listening on ")" ] ||
  { echo "The USB server did not start (is port 17570 taken?)" >&2; exit 1; }

# The daemon, answering this user's client.
"$programs/vhproxy" --service --usbServerPort=17570 --allowGroup="$(id -gn)" --logFile="$work/vhproxy.log" &
pids+=($!)

tools/demo-server/make-demo-stream.sh "$work/demo.h264" >/dev/null
# Every device is listed, those outside an allow list (from DEMO_USB_ALLOW
# or the page's "Set allow list") disabled.
usb_options=(--usb-show-all)
[ -n "${DEMO_USB_ALLOW+set}" ] && usb_options+=("--usb-allow=$DEMO_USB_ALLOW")
build/tools/demo-server/demo-server --port=0 --stream="$work/demo.h264" "${usb_options[@]}" >"$work/server.out" &
pids+=($!)
url=$(wait_for_line "$work/server.out" "demo-server listening on ")
[ -n "$url" ] || { echo "The demo server did not start" >&2; exit 1; }
echo "Demo server at $url"
echo "USB devices of the demo (rewrite to plug and unplug; rename a new file over it): $devices"
build/src/client/app/quarrydesk-client --user=demo --password=demo "$@" "$url"
