#!/bin/sh
# Times AacEncoder and M4aWriter (aac_encode_bench) against ffmpeg's native AAC encoder on the same
# ten-minute 44.1 kHz stereo WAV at 128 kbps, to raw AAC and to M4A, and prints the time ratios.
# Usage: bench/aac_compare.sh [build-dir]   (builds the bench targets first)
set -eu
BUILD=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$ROOT" -B "$BUILD" >/dev/null
cmake --build "$BUILD" --target mp3_encode_bench aac_encode_bench >/dev/null
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# The MP3 benchmark's signal: two gliding tones and a little noise.
"$BUILD/bin/mp3_encode_bench" --wav "$WORK/in.wav"

seconds() {
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

ours_aac=$("$BUILD/bin/aac_encode_bench" aac "$WORK/in.wav" "$WORK/ours.aac")
ffmpeg_aac=$(seconds ffmpeg -v error -nostdin -y -i "$WORK/in.wav" -c:a aac -b:a 128k "$WORK/ffmpeg.aac")
ours_m4a=$("$BUILD/bin/aac_encode_bench" m4a "$WORK/in.wav" "$WORK/ours.m4a")
ffmpeg_m4a=$(seconds ffmpeg -v error -nostdin -y -i "$WORK/in.wav" -c:a aac -b:a 128k "$WORK/ffmpeg.m4a")

printf 'AacEncoder: %.3f s, ffmpeg to .aac: %.3f s  (ratio %.3f)\n' "$ours_aac" "$ffmpeg_aac" "$(ratio "$ours_aac" "$ffmpeg_aac")"
printf 'M4aWriter:  %.3f s, ffmpeg to .m4a: %.3f s  (ratio %.3f)\n' "$ours_m4a" "$ffmpeg_m4a" "$(ratio "$ours_m4a" "$ffmpeg_m4a")"
