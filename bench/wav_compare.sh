#!/bin/sh
# Times a whole conversion through sonavert-cli against sox doing the same: a ten-minute
# 44.1 kHz stereo 16-bit WAV to 22050 Hz mono 8-bit WAV. Prints the best of three runs of each
# and their ratio (below 1: Sonavert is faster).
# Usage: bench/wav_compare.sh [build-dir]
set -eu
BUILD=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$ROOT" -B "$BUILD" >/dev/null
cmake --build "$BUILD" --target sonavert-cli >/dev/null
CLI="$BUILD/bin/sonavert-cli"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
export XDG_CONFIG_HOME="$WORK/config"

# Ten minutes of a two-tone signal with a little noise, so nothing is trivially compressible.
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
        rm -f "$WORK"/out*.wav
        t=$(seconds "$@")
        b=$(awk -v a="$t" -v b="$b" 'BEGIN { if (b == "" || a < b) print a; else print b }')
    done
    echo "$b"
}

ours=$(best "$CLI" -f wav -o "$WORK/outdir" --set AutoDestWAVEncodingParam=0 --set WAVSampleRate=22050 \
    --set WAVChannelNum=1 --set WAVBitsPerSample=8 --set MonoType=0 --set TargetExistsOpt=22 "$WORK/in.wav")
theirs=$(best sox "$WORK/in.wav" -r 22050 -c 1 -b 8 -e unsigned-integer "$WORK/out-sox.wav")

printf 'sonavert-cli: %.3f s\n' "$ours"
printf 'sox:          %.3f s  (sonavert-cli / sox = %s)\n' "$theirs" \
    "$(awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "%.3f", a / b }')"
