#!/bin/sh
# Times Mp3Encoder (mp3_encode_bench) against the lame tool and ffmpeg's libmp3lame on the same
# ten-minute 44.1 kHz stereo signal at 128 kbps CBR, and prints the time ratios.
# Usage: bench/mp3_compare.sh [build-dir]   (builds the mp3_encode_bench target first)
set -eu
BUILD=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$ROOT" -B "$BUILD" >/dev/null
cmake --build "$BUILD" --target mp3_encode_bench >/dev/null
BENCH="$BUILD/bin/mp3_encode_bench"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

"$BENCH" --wav "$WORK/in.wav"

# Wall-clock seconds of a command, with its output discarded.
seconds() {
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

ours=$("$BENCH" "$WORK/ours.mp3")
lame_s=$(seconds lame --quiet -b 128 --cbr "$WORK/in.wav" "$WORK/lame.mp3")
ffmpeg_s=$(seconds ffmpeg -v error -nostdin -y -i "$WORK/in.wav" -c:a libmp3lame -b:a 128k "$WORK/ffmpeg.mp3")

printf 'Mp3Encoder: %.3f s\n' "$ours"
printf 'lame:       %.3f s  (Mp3Encoder / lame   = %.3f)\n' "$lame_s" "$(ratio "$ours" "$lame_s")"
printf 'ffmpeg:     %.3f s  (Mp3Encoder / ffmpeg = %.3f)\n' "$ffmpeg_s" "$(ratio "$ours" "$ffmpeg_s")"
