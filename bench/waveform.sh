#!/usr/bin/env bash
# The waveform's benchmarks; bench/run.sh calls this with its Release build and its 5-minute MP3
# and prints the markdown it writes:
#   - the scan of the song (waveform_bench) against ffmpeg's full decode, in one hyperfine run;
#   - one timer tick of the window: the picture, three markers, the copy to the screen
#     (view_bench, on a virtual X display where xvfb-run exists, else Qt's off-screen platform);
#   - the CPU the program takes while it plays the song with its waveform shown.
#
# Usage: bench/waveform.sh BUILD_DIR FILE
# Environment: RUNS (default 15) and WARMUP (default 3) for hyperfine, CPU_RUNS (default 3).
set -euo pipefail

build=$1
file=$2
runs=${RUNS:-15}
warmup=${WARMUP:-3}
cpuRuns=${CPU_RUNS:-3}
bin=$build/bin
out=$build/bench-results
mkdir -p "$out"

# The program makes its folders under the home folder: a scratch one.
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT

onDisplay() {
    if command -v xvfb-run >/dev/null; then
        HOME=$home CHIMEWRIGHT_AUDIO=silent xvfb-run -a -s "-screen 0 800x600x24" "$@"
    else
        HOME=$home CHIMEWRIGHT_AUDIO=silent QT_QPA_PLATFORM=offscreen "$@"
    fi
}
display=$(command -v xvfb-run >/dev/null && echo "a virtual X display (Xvfb)" ||
    echo "Qt's off-screen platform")

echo "waveform.sh: checking the commands" >&2
echo "  waveform_bench: $("$bin/waveform_bench" "$file")" >&2

q=$(printf %q "$file")
hyperfine -N --style basic --warmup "$warmup" --runs "$runs" --export-csv "$out/waveform.csv" \
    -n scan "$(printf %q "$bin/waveform_bench") $q" \
    -n full-decode "ffmpeg -v error -i $q -f null -" >&2
# hyperfine's CSV: command,mean,stddev,median,user,system,min,max. The processor time (user and
# system, means) moves less than the wall clock when other work shares the machine.
median() { awk -F, -v name="$1" '$1 == name { print $4 }' "$out/waveform.csv"; }
cpuTime() { awk -F, -v name="$1" '$1 == name { printf "%.3f s", $5 + $6 }' "$out/waveform.csv"; }
tScan=$(median scan)
tDecode=$(median full-decode)

echo "waveform.sh: timing the window's ticks" >&2
tick=$(onDisplay "$bin/view_bench" "$file" 2000)
echo "  $tick" >&2
tickMedian=$(sed -n 's/.*median \([0-9.]*\) ms.*/\1/p' <<<"$tick")
tick99=$(sed -n 's/.*percentile \([0-9.]*\) ms.*/\1/p' <<<"$tick")

# The share of one core that a process takes from 3 s after its start (the song open and its
# scan done) for 20 s: user and system time from /proc.
cpuShare() {
    onDisplay bash -c '
        "$@" >/dev/null 2>&1 & pid=$!
        sleep 3
        a=$(awk "{ print \$14 + \$15 }" /proc/$pid/stat)
        sleep 20
        b=$(awk "{ print \$14 + \$15 }" /proc/$pid/stat)
        kill $pid
        wait $pid 2>/dev/null || true
        awk -v a="$a" -v b="$b" -v hz="$(getconf CLK_TCK)" \
            "BEGIN { printf \"%.2f\n\", 100 * (b - a) / hz / 20 }"' cpu "$@"
}
cpuMedian() {
    local i
    for ((i = 0; i < cpuRuns; ++i)); do cpuShare "$@"; done |
        sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}
echo "waveform.sh: measuring the CPU share ($cpuRuns runs of 20 s each)" >&2
cpuPlaying=$(cpuMedian "$bin/chimewright" "$file")
cpuIdle=$(cpuMedian "$bin/chimewright")

verdict() {
    awk -v a="$1" -v b="$2" -v below="${3:-}" \
        'BEGIN { ok = below ? a + 0 < b + 0 : a + 0 <= b + 0; print ok ? "met" : "missed" }'
}
n=$(basename "$file")
cat <<EOT

The waveform ($(nproc) cores; scan and decode the median of $runs runs after $warmup warm-up
runs; ticks the median of 2000 in one process on $display; CPU the median of $cpuRuns runs of
20 s, from 3 s after the start).

| Measure | Command | Median |
| --- | --- | --- |
| Waveform scan (processor time $(cpuTime scan)) | \`waveform_bench $n\` | $(awk -v s="$tScan" 'BEGIN { printf "%.3f s", s }') |
| Full decode (processor time $(cpuTime full-decode)) | \`ffmpeg -v error -i $n -f null -\` | $(awk -v s="$tDecode" 'BEGIN { printf "%.3f s", s }') |
| One timer tick (99th percentile $tick99 ms) | \`view_bench $n\` | $tickMedian ms |
| Playing with the waveform shown | \`chimewright $n\` | $cpuPlaying % of a core |
| Idle, no song (for reference) | \`chimewright\` | $cpuIdle % of a core |

- Scan no slower than the full decode: $(verdict "$tScan" "$tDecode")
- One tick under 1 ms: $(verdict "$tickMedian" 1 below)
- Playing with the waveform shown under 5% of one core: $(verdict "$cpuPlaying" 5 below)
EOT
