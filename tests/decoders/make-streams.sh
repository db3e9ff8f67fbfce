#!/bin/sh
# Makes the H.264 test streams and FFmpeg's own decode of each (raw frames in
# the decoder's output pixel format) into the given folder, then writes the
# stamp file "ready". Small pictures, few frames: a few seconds in all.
set -eu
out=$1
mkdir -p "$out"
cd "$out"
[ -f ready ] && exit 0

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }

# name size frames pix_fmt encoder options... (the source rounds odd sizes
# up; the crop brings them back)
encode() {
    name=$1 size=$2 frames=$3 pixfmt=$4 codec=$5
    shift 5
    w=${size%x*} h=${size#*x}
    ff -f lavfi -i "testsrc2=size=$((w + w % 2))x$((h + h % 2)):rate=25,format=$pixfmt,crop=$w:$h:0:0:exact=1" -frames:v "$frames" -pix_fmt "$pixfmt" \
       -c:v "$codec" "$@" -f h264 "$name.h264"
}
reference() {
    ff -i "$1.h264" -f rawvideo -pix_fmt "$2" "$1.$2"
}

encode baseline 320x240 16 yuv420p libx264 -profile:v baseline -x264-params aud=1:keyint=8 &
encode high 320x240 16 yuv420p libx264 -profile:v high -tune zerolatency -x264-params aud=1:keyint=8 &
encode main 322x242 16 yuv420p libx264 -profile:v main -tune zerolatency -x264-params aud=1 &
encode high444 322x242 12 yuv444p libx264 -profile:v high444 -tune zerolatency -x264-params aud=1 &
encode odd444 321x241 8 yuv444p libx264 -profile:v high444 -tune zerolatency -x264-params aud=1 &
encode rgb 321x241 8 rgb24 libx264rgb -qp 0 -tune zerolatency -x264-params aud=1 &
encode high10 320x240 8 yuv420p10le libx264 -profile:v high10 -tune zerolatency -x264-params aud=1 &
encode wide 1366x768 2 yuv420p libx264 -preset ultrafast -tune zerolatency -x264-params aud=1 &
encode hd 1918x1080 2 yuv420p libx264 -preset ultrafast -tune zerolatency -x264-params aud=1 &
# As tall as a stream can announce (the tests make its parameter sets
# announce more).
encode tall 64x16384 2 yuv420p libx264 -preset ultrafast -tune zerolatency -x264-params aud=1 &
encode part1 320x240 8 yuv420p libx264 -tune zerolatency -x264-params aud=1 &
encode part2 352x288 8 yuv420p libx264 -tune zerolatency -x264-params aud=1 &
# B-frames (decoded in another order than shown), across an IDR picture: with
# B-pyramids (two pictures reordered) and without (one). No sub-macroblock
# partitions: OpenH264 decodes those in B-frames not bit-exact.
encode bpyramid 320x240 24 yuv420p libx264 -profile:v high -bf 3 -x264-params aud=1:keyint=12:partitions=none &
encode bframes 320x240 24 yuv420p libx264 -profile:v high -bf 3 -x264-params aud=1:keyint=12:partitions=none:b-pyramid=none &
# As libx264 makes B-frames by default (with sub-macroblock partitions).
encode bframes48 320x240 48 yuv420p libx264 -profile:v high -bf 3 -x264-params aud=1 &
wait
cat part1.h264 part2.h264 > sizechange.h264

for s in baseline high main wide hd part1 part2 bpyramid bframes bframes48; do reference $s yuv420p & done
reference high444 yuv444p &
reference odd444 yuv444p &
reference rgb gbrp &
reference high10 yuv420p10le &
# What the FFmpeg scaler makes of the pictures (the client's RGB24 conversion).
ff -i high10.h264 -f rawvideo -pix_fmt rgb24 -sws_flags bicubic high10.rgb24 &
ff -i high444.h264 -f rawvideo -pix_fmt rgb24 -sws_flags bicubic high444.rgb24 &
wait
cat part1.yuv420p part2.yuv420p > sizechange.yuv420p
touch ready
