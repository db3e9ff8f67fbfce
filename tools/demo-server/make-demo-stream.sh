#!/usr/bin/env bash
# Makes a moving test picture as an H.264 Annex-B stream for the demo server:
# ffmpeg's testsrc2 pattern, libx264 (Baseline unless asked otherwise), one
# access unit delimiter before every picture (the server cuts the stream at
# them).
#
# Usage: make-demo-stream.sh OUTPUT [WIDTHxHEIGHT] [SECONDS] [FPS] [KEYINT] [PROFILE] [BITRATE]
#   defaults: 640x360, 4 seconds, 25 fps, a key frame every 50 pictures,
#   profile baseline (or main, high), 600k bits per second
set -euo pipefail

if [ $# -lt 1 ] || [ "$1" = "-h" ] || [ "$1" = "--help" ]; then
  sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
fi
out=$1
size=${2:-640x360}
seconds=${3:-4}
fps=${4:-25}
keyint=${5:-50}
profile=${6:-baseline}
bitrate=${7:-600k}
case $profile in
  baseline|main|high) ;;
  *) echo "make-demo-stream.sh: unknown profile '$profile' (baseline, main or high)" >&2; exit 2 ;;
esac

exec ffmpeg -hide_banner -loglevel error -y \
  -f lavfi -i "testsrc2=size=${size}:rate=${fps}:duration=${seconds}" \
  -c:v libx264 -profile:v "$profile" -pix_fmt yuv420p -preset veryfast -tune zerolatency \
  -g "$keyint" -keyint_min "$keyint" -sc_threshold 0 -b:v "$bitrate" \
  -x264-params aud=1 \
  -f h264 "$out"
