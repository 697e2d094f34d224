#!/usr/bin/env bash
# Times the preview's four effect routines (low-pass, high-pass, gain and a running fade) on
# 16-bit 44.1 kHz stereo against the same pull without them, as whole processes on one thread;
# the effects' speed is the audio's length over the difference of the two medians. The target
# is at least 1000 times real time.
#
# usage: bench/effects.sh [BIN_FOLDER]   (default build-bench/bin; builds nothing)
# Environment: RUNS (default 15), WARMUP (default 3), BENCH_CACHE (default .cache/bench).
# Exits 1 when the effects run below 1000 times real time.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bin=${1:-$root/build-bench/bin}
cache=${BENCH_CACHE:-$root/.cache/bench}
runs=${RUNS:-15}
warmup=${WARMUP:-3}
bench=$bin/effects_bench
[[ -x $bench ]] || { echo "effects.sh: no effects_bench in $bin (build that target first)" >&2; exit 2; }
for tool in ffmpeg hyperfine; do
  command -v "$tool" >/dev/null || { echo "effects.sh: $tool is missing" >&2; exit 2; }
done

# Five minutes of two tones over pink noise, a different mix on each side.
input=$cache/tones-5min.wav
if [[ ! -s $input ]]; then
  mkdir -p "$cache"
  ffmpeg -nostdin -v error -y \
    -f lavfi -i "sine=f=220:d=300" -f lavfi -i "sine=f=1330:d=300" \
    -f lavfi -i "anoisesrc=d=300:c=pink:a=0.1:seed=7" \
    -filter_complex "[2]asplit[n1][n2];[0][n1]amix=inputs=2:normalize=0[l];\
[1][n2]amix=inputs=2:normalize=0[r];[l][r]join=inputs=2:channel_layout=stereo[out]" \
    -map "[out]" -ar 44100 -c:a pcm_s16le "$input.part.wav"
  mv "$input.part.wav" "$input"
fi

"$bench" none "$input" >&2
"$bench" all "$input" >&2

out=${TMPDIR:-/tmp}/effects-bench
mkdir -p "$out"
q=$(printf %q "$input")
qb=$(printf %q "$bench")
hyperfine -N --style basic --warmup "$warmup" --runs "$runs" --export-csv "$out/times.csv" \
  -n none "$qb none $q" -n all "$qb all $q" >&2

median() { awk -F, -v name="$1" '$1 == name { print $4 }' "$out/times.csv"; }
tNone=$(median none)
tAll=$(median all)
seconds=$("$bench" none "$input" | sed -n 's/.*: \([0-9.]*\) s of audio.*/\1/p')
awk -v n="$tNone" -v a="$tAll" -v s="$seconds" 'BEGIN {
  d = a - n
  x = d > 0 ? s / d : 0
  printf "\nEffects on %.0f s of 16-bit 44.1 kHz stereo (median of '"$runs"' runs each):\n\n", s
  printf "| Command | Median |\n| --- | --- |\n"
  printf "| `effects_bench none tones-5min.wav` | %.3f s |\n", n
  printf "| `effects_bench all tones-5min.wav` | %.3f s |\n\n", a
  printf "The four routines: %.3f s for %.0f s of audio, %.0f times real time (target 1000): %s\n",
         d, s, x, (x >= 1000 ? "met" : "missed")
  exit (x >= 1000 ? 0 : 1)
}'
