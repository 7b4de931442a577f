#!/bin/sh
# Times the decoding layer's MPEG audio decoding through libmpg123 against libavcodec, which the
# layer used before, on a ten-minute 44.1 kHz stereo MP3 at 192 kbps, and prints the ratio
# (below 1: libmpg123 is faster).
# Usage: bench/mpeg_compare.sh [build-dir]   (builds the mpeg_decode_bench target first)
set -eu
BUILD=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$ROOT" -B "$BUILD" >/dev/null
cmake --build "$BUILD" --target mpeg_decode_bench >/dev/null
BENCH="$BUILD/bin/mpeg_decode_bench"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

sox -n -r 44100 -b 16 -c 2 "$WORK/in.wav" synth 600 sine 440 sine 1000 gain -3 >/dev/null 2>&1
lame --quiet -b 192 "$WORK/in.wav" "$WORK/in.mp3"
"$BENCH" "$WORK/in.mp3"
