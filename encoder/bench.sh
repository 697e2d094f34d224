#!/usr/bin/env bash
# Times faac against the ffmpeg command it must keep up with (at most 1.1 times its time):
# both encode the same 30 s of 44.1 kHz 16-bit stereo (tones and noise), fed through a pipe,
# to AAC-LC at 160 kb/s with FFmpeg's native encoder in an ipod MP4.
#
# usage: encoder/bench.sh [BIN_FOLDER]   (default: build/bin of this checkout; builds nothing)
# Results, as hyperfine's JSON and Markdown, go to ${TMPDIR:-/tmp}/faac-bench/.
# Exits 1 when faac's median is over 1.1 times ffmpeg's.
set -euo pipefail

bin=${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/bin}
faac=$bin/faac
[[ -x $faac ]] || { echo "bench.sh: no faac program in $bin (build the faac target first)" >&2; exit 2; }
for tool in ffmpeg hyperfine; do
  command -v "$tool" >/dev/null || { echo "bench.sh: $tool is missing" >&2; exit 2; }
done

results=${TMPDIR:-/tmp}/faac-bench
mkdir -p "$results"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

input=$work/input.wav
ffmpeg -nostdin -v error \
  -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=30" \
  -f lavfi -i "sine=frequency=1250:sample_rate=44100:duration=30" \
  -f lavfi -i "anoisesrc=sample_rate=44100:duration=30:amplitude=0.2:seed=7" \
  -filter_complex "[0][1]amerge=inputs=2[tones];[2]pan=stereo|c0=c0|c1=c0[noise];[tones][noise]amix=inputs=2" \
  -ac 2 -ar 44100 -c:a pcm_s16le "$input"

faac_cmd="cat '$input' | '$faac' -w --mpeg-vers 4 --title 'Bench mark' -o '$work/faac.m4r' -"
ffmpeg_cmd="cat '$input' | ffmpeg -nostdin -v error -y -f wav -i - -c:a aac -b:a 160k -f ipod '$work/ffmpeg.m4r'"

hyperfine --warmup 2 --runs 10 \
  --command-name faac --command-name ffmpeg \
  --export-json "$results/bench.json" --export-markdown "$results/bench.md" \
  "$faac_cmd" "$ffmpeg_cmd"

# The JSON lists the commands in the order given, each with one "median" line.
mapfile -t medians < <(grep '"median"' "$results/bench.json" | tr -dc '0-9.\n')
awk -v f="${medians[0]}" -v g="${medians[1]}" 'BEGIN {
  ratio = f / g
  printf "median faac:   %.1f ms\nmedian ffmpeg: %.1f ms\nratio faac/ffmpeg: %.3f (limit 1.100)\n",
         f * 1000, g * 1000, ratio
  exit ratio > 1.1 ? 1 : 0
}'
