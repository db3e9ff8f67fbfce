#!/usr/bin/env bash
# Installs every Debian 12 package the client, its tools and its tests need.
# Idempotent: quiet and quick when everything is present already.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qtbase5-dev qtwebengine5-dev libxcb1-dev
  libpoco-dev libssl-dev zlib1g-dev libexpat1-dev
  libopenh264-dev libavcodec-dev libavutil-dev libswscale-dev ffmpeg
  libgtest-dev libgmock-dev
  xvfb xauth libgl1-mesa-dri x11-utils
  python3 python3-websockets python3-wsproto
  openssl libxml2-utils curl
  libusb-1.0-0-dev usb.ids
  iproute2 util-linux
  pkexec polkitd systemd bubblewrap python3-seccomp
  clang libclang-rt-14-dev lld
)

# One query for all of them: the installed ones print their name.
installed=$(dpkg-query -W -f='${db:Status-Status} ${Package}\n' "${PACKAGES[@]}" 2>/dev/null |
            awk '$1 == "installed" {print $2}' || true)
declare -A have=()
while read -r p; do [ -n "$p" ] && have[$p]=1; done <<<"$installed"
missing=()
for p in "${PACKAGES[@]}"; do
  [ -n "${have[$p]:-}" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
