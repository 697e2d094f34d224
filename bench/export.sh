#!/usr/bin/env bash
# Times a 30 s ringtone with a 5 s fade-in and fade-out, cut from 60 s into a 5-minute 320 kb/s
# MP3, made by `chimewright export` as a whole process, against the ffmpeg command that does
# the same (it must be no slower); then the window's export of the same span against the same
# job driven as the command line drives it, in one process.
#
# usage: bench/export.sh BUILD_DIR INPUT.mp3
#   BUILD_DIR holds a Release build of chimewright, faac and window_export_bench.
# Environment: RUNS (default 15), WARMUP (default 3).
# Exits 1 when the command line's median is above ffmpeg's.
set -euo pipefail

build=$1
input=$2
runs=${RUNS:-15}
warmup=${WARMUP:-3}
bin=$build/bin
for program in chimewright faac window_export_bench; do
    [[ -x $bin/$program ]] || { echo "export.sh: no $program in $bin" >&2; exit 2; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
out=$build/bench-results
mkdir -p "$out"

qi=$(printf %q "$input")
ours="$(printf %q "$bin/chimewright") export $qi -o $work/ours.m4r --start 60 --end 90 --fade-in 5 --fade-out 5"
theirs="ffmpeg -v error -y -ss 60 -t 30 -i $qi -af afade=t=in:d=5,afade=t=out:st=25:d=5 -ar 44100 -ac 2 -c:a aac -b:a 160k -f ipod $work/ffmpeg.m4r"
# A failing command would otherwise be timed as a fast one.
$ours >&2
$theirs

hyperfine -N --style basic --warmup "$warmup" --runs "$runs" \
    --export-csv "$out/export.csv" -n chimewright "$ours" -n ffmpeg "$theirs" >&2
median() { awk -F, -v name="$1" '$1 == name { print $4 }' "$out/export.csv"; }
tOurs=$(median chimewright)
tTheirs=$(median ffmpeg)

window=$(QT_QPA_PLATFORM=offscreen CHIMEWRIGHT_AUDIO=silent "$bin/window_export_bench" "$input" "$runs")

name=$(basename "$input")
cat <<REPORT

Export of a 30 s ringtone with 5 s fades from $name (median of $runs runs after $warmup):

| Command | Median |
| --- | --- |
| \`chimewright export $name -o ours.m4r --start 60 --end 90 --fade-in 5 --fade-out 5\` | $(awk -v s="$tOurs" 'BEGIN { printf "%.3f s", s }') |
| \`ffmpeg -v error -y -ss 60 -t 30 -i $name -af "afade=t=in:d=5,afade=t=out:st=25:d=5" -ar 44100 -ac 2 -c:a aac -b:a 160k -f ipod out.m4r\` | $(awk -v s="$tTheirs" 'BEGIN { printf "%.3f s", s }') |

$window

- The command line no slower than ffmpeg: $(awk -v a="$tOurs" -v b="$tTheirs" 'BEGIN { print a <= b ? "met" : "missed" }')
REPORT
awk -v a="$tOurs" -v b="$tTheirs" 'BEGIN { exit a <= b ? 0 : 1 }'
