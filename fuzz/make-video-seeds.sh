#!/bin/sh
# Makes the seed streams of the access-unit harnesses (small pictures, three
# frames, each with the five header bytes of AccessUnitFeed.h in front) into
# corpus/access_units, which both access-unit harnesses start from; the same
# ffmpeg recipes as the decoder tests' streams. Run by hand after a change.
set -eu
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# name header(hex) size pix_fmt encoder options...
seed() {
    name=$1 header=$2 size=$3 pixfmt=$4 codec=$5
    shift 5
    ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "testsrc2=size=$size:rate=25,format=$pixfmt" \
        -frames:v 3 -pix_fmt "$pixfmt" -c:v "$codec" "$@" -f h264 "$work/$name.h264"
    mkdir -p corpus/access_units
    { printf "$header"; cat "$work/$name.h264"; } > "corpus/access_units/$name"
}

seed baseline '\000\000\100\000\060' 64x48 yuv420p libx264 -profile:v baseline -x264-params aud=1:keyint=2
seed high '\003\000\100\000\060' 64x48 yuv420p libx264 -profile:v high -bf 2 -x264-params aud=1
seed main-odd '\002\000\042\000\030' 34x24 yuv420p libx264 -profile:v main -tune zerolatency
seed high444 '\004\000\100\000\060' 64x48 yuv444p libx264 -profile:v high444 -tune zerolatency -x264-params aud=1
seed rgb '\006\000\100\000\060' 64x48 rgb24 libx264rgb -qp 0 -tune zerolatency -x264-params aud=1
seed high10 '\001\000\100\000\060' 64x48 yuv420p10le libx264 -profile:v high10 -tune zerolatency -x264-params aud=1
