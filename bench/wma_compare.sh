#!/bin/sh
# Times a whole conversion through sonavert-cli against ffmpeg doing the same: a ten-minute
# 44.1 kHz stereo 16-bit WAV to 128 kbps WMA v2. Prints the best of three runs of each and their
# ratio (below 1: Sonavert is faster).
# Usage: bench/wma_compare.sh [build-dir]
set -eu
BUILD=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$ROOT" -B "$BUILD" >/dev/null
cmake --build "$BUILD" --target sonavert-cli >/dev/null
CLI="$BUILD/bin/sonavert-cli"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
export XDG_CONFIG_HOME="$WORK/config"

sox -n -r 44100 -b 16 -c 2 "$WORK/in.wav" synth 600 sine 440 sine 1000 gain -3 >/dev/null 2>&1

seconds() {
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}
best() {
    b=""
    for i in 1 2 3; do
        rm -rf "$WORK"/outdir "$WORK"/out-ffmpeg.wma
        t=$(seconds "$@")
        b=$(awk -v a="$t" -v b="$b" 'BEGIN { if (b == "" || a < b) print a; else print b }')
    done
    echo "$b"
}

ours=$(best "$CLI" -f wma -o "$WORK/outdir" --set AutoDestWMAEncodingParam=0 --set WMASampleRate=44100 \
    --set WMABitRate=128000 --set WMAChannels=2 --set TargetExistsOpt=22 "$WORK/in.wav")
theirs=$(best ffmpeg -v error -y -i "$WORK/in.wav" -c:a wmav2 -b:a 128k "$WORK/out-ffmpeg.wma")

printf 'sonavert-cli: %.3f s\n' "$ours"
printf 'ffmpeg:       %.3f s  (sonavert-cli / ffmpeg = %s)\n' "$theirs" \
    "$(awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "%.3f", a / b }')"
