#!/bin/sh
# Times a whole conversion through sonavert-cli against oggenc and ffmpeg's libvorbis doing the
# same: a ten-minute 44.1 kHz stereo FLAC to OGG Vorbis at 128 kbps nominal. Prints the best of
# two runs of each and the ratios (below 1: Sonavert is faster).
# Usage: bench/ogg_compare.sh [build-dir]
set -eu
BUILD=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$ROOT" -B "$BUILD" >/dev/null
cmake --build "$BUILD" --target sonavert-cli >/dev/null
CLI="$BUILD/bin/sonavert-cli"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
export XDG_CONFIG_HOME="$WORK/config"

# Ten minutes of two tones under pink noise, so the encoder has real work to do.
sox -n -r 44100 -b 16 -c 2 "$WORK/in.flac" synth 600 sine 440 sine 1000 pinknoise gain -9 >/dev/null 2>&1

seconds() {
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}
best() {
    b=""
    for i in 1 2; do
        rm -rf "$WORK"/out*
        t=$(seconds "$@")
        b=$(awk -v a="$t" -v b="$b" 'BEGIN { if (b == "" || a < b) print a; else print b }')
    done
    echo "$b"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

ours=$(best "$CLI" -f ogg -o "$WORK/outdir" --set AutoDestOGGEncodingParam=0 --set OGGBitRate=128 \
    --set OGGSampleRate=44100 --set OGGChannels=2 --set TargetExistsOpt=22 "$WORK/in.flac")
oggenc=$(best oggenc -Q -b 128 -o "$WORK/out-oggenc.ogg" "$WORK/in.flac")
ffmpeg=$(best ffmpeg -v error -y -i "$WORK/in.flac" -c:a libvorbis -b:a 128k "$WORK/out-ffmpeg.ogg")

printf 'sonavert-cli: %.3f s\n' "$ours"
printf 'oggenc -b 128: %.3f s  (sonavert-cli / oggenc = %s)\n' "$oggenc" "$(ratio "$ours" "$oggenc")"
printf 'ffmpeg libvorbis: %.3f s  (sonavert-cli / ffmpeg = %s)\n' "$ffmpeg" "$(ratio "$ours" "$ffmpeg")"
