#!/usr/bin/env bash
# Times the engine against ffmpeg on MP3 files and prints a markdown table of the results:
# median process times (hyperfine) and peak memory (maximum resident set size).
#
# Usage: bench/run.sh [BUILD_DIR]
#   BUILD_DIR defaults to build-bench at the top of the tree, where a Release build of the
#   program, the encoder program and the benchmarks is configured and built.
# Environment: RUNS (default 15) and WARMUP (default 3) for hyperfine, MEMORY_RUNS (default 3)
# for the peak memory, BENCH_CACHE for the folder of input files (default .cache/bench).
#
# Needs cmake, a C++ compiler, Qt 6, ffmpeg with libmp3lame, hyperfine, xvfb-run (or Qt's
# off-screen platform is used for the window's tick), and GNU time (Debian package
# `time`) or python3 for the peak memory. The inputs (a 5-minute and a 60-minute 320 kb/s stereo
# MP3) are made once; the 60-minute one takes a couple of minutes to encode.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build-bench}
cache=${BENCH_CACHE:-$root/.cache/bench}
runs=${RUNS:-15}
warmup=${WARMUP:-3}
memoryRuns=${MEMORY_RUNS:-3}

# What the benchmarks need (hyperfine, GNU time, ffmpeg), installed when missing.
"$root/scripts/deps.sh" bench

need() {
    if ! command -v "$1" >/dev/null; then
        echo "run.sh: $1 is missing; $2" >&2
        exit 1
    fi
}
need cmake "install cmake"
need ffmpeg "install ffmpeg"
need hyperfine "install hyperfine"
if [[ -x /usr/bin/time ]]; then
    peakTool=gnu-time
elif command -v python3 >/dev/null; then
    peakTool=python3
else
    echo "run.sh: no way to read peak memory; apt-get install -y time" >&2
    exit 1
fi

# The build.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCHIME_ENGINE_ONLY=OFF >&2
cmake --build "$build" --target engine_bench effects_bench faac waveform_bench view_bench \
    chimewright window_export_bench open_bench -j2 >&2
bench=$build/bin/engine_bench
buildType=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")
if [[ $buildType != Release ]]; then
    echo "run.sh: warning: $build is a '$buildType' build, not Release" >&2
fi

# The inputs: two tones a fifth apart, one on each side, with pulsing loudness over pink noise,
# so that the encoder has real work on every frame.
makeMp3() {
    local seconds=$1 out=$2
    [[ -s $out ]] && return
    echo "run.sh: making $out ($seconds s)" >&2
    mkdir -p "$(dirname "$out")"
    ffmpeg -v error -y \
        -f lavfi -i "sine=f=220:d=$seconds" \
        -f lavfi -i "sine=f=330:d=$seconds" \
        -f lavfi -i "anoisesrc=d=$seconds:c=pink:a=0.1:seed=7" \
        -filter_complex "[2]asplit[n1][n2];\
[0][n1]amix=inputs=2:normalize=0,tremolo=f=2:d=0.5[l];\
[1][n2]amix=inputs=2:normalize=0,tremolo=f=3:d=0.5[r];\
[l][r]join=inputs=2:channel_layout=stereo[out]" \
        -map "[out]" -ar 44100 -c:a libmp3lame -b:a 320k -f mp3 "$out.part"
    mv "$out.part" "$out"
}
f5=$cache/tones-5min-320k.mp3
f60=$cache/tones-60min-320k.mp3
makeMp3 300 "$f5"
makeMp3 3600 "$f60"

# A failing command would otherwise be timed as a fast one.
echo "run.sh: checking the commands" >&2
for mode in open levels pull; do
    said=$("$bench" "$mode" "$f5")
    echo "  engine_bench $mode $(basename "$f5"): $said" >&2
done

# Other work on the machine shows up in every figure.
load=$(cut -d' ' -f1 /proc/loadavg)
if awk -v l="$load" 'BEGIN { exit !(l > 0.5) }'; then
    echo "run.sh: warning: load average $load; the times are only as steady as the machine" >&2
fi

# Times: one hyperfine run over all the commands.
out=$build/bench-results
mkdir -p "$out"
q5=$(printf %q "$f5")
qb=$(printf %q "$bench")
hyperfine -N --style basic --warmup "$warmup" --runs "$runs" \
    --export-json "$out/times.json" --export-csv "$out/times.csv" \
    -n open "$qb open $q5" \
    -n packet-scan "ffmpeg -v error -i $q5 -c copy -f null -" \
    -n levels "$qb levels $q5" \
    -n full-decode "ffmpeg -v error -i $q5 -f null -" \
    -n pull "$qb pull $q5" >&2

# hyperfine's CSV: command,mean,stddev,median,user,system,min,max
median() {
    awk -F, -v name="$1" '$1 == name { print $4 }' "$out/times.csv"
}

# Peak memory in KiB of one run of a command, its output discarded.
peakKiB() {
    if [[ $peakTool == gnu-time ]]; then
        /usr/bin/time -f %M -o "$out/peak.txt" "$@" >/dev/null 2>&1
        tail -n 1 "$out/peak.txt"
    else
        python3 -c 'import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)' "$@"
    fi
}

# The median over MEMORY_RUNS runs, in MiB.
peakMiB() {
    local i
    for ((i = 0; i < memoryRuns; ++i)); do peakKiB "$@"; done |
        sort -n | awk '{ v[NR] = $1 } END { printf "%.1f", v[int((NR + 1) / 2)] / 1024 }'
}

echo "run.sh: measuring peak memory ($memoryRuns runs each)" >&2
memOpen=$(peakMiB "$bench" open "$f60")
memLevels=$(peakMiB "$bench" levels "$f60")
memDecode=$(peakMiB ffmpeg -v error -i "$f60" -f null -)

tOpen=$(median open)
tScan=$(median packet-scan)
tLevels=$(median levels)
tDecode=$(median full-decode)
tPull=$(median pull)

# verdict VALUE LIMIT: met when VALUE <= LIMIT; verdict VALUE LIMIT below: met when VALUE < LIMIT.
verdict() {
    awk -v a="$1" -v b="$2" -v below="${3:-}" \
        'BEGIN { ok = below ? a + 0 < b + 0 : a + 0 <= b + 0; print ok ? "met" : "missed" }'
}
seconds() { awk -v s="$1" 'BEGIN { printf "%.3f s", s }'; }

n5=$(basename "$f5")
n60=$(basename "$f60")
cat <<EOF

Engine against ffmpeg ($(ffmpeg -version | sed -n '1s/ Copyright.*//p'), $buildType build,
$(nproc) cores; median of $runs runs after $warmup warm-up runs, peak memory the median of
$memoryRuns runs). Inputs: $n5 and $n60, 320 kb/s stereo 44.1 kHz.

| Measure | Command | Median |
| --- | --- | --- |
| Open | \`engine_bench open $n5\` | $(seconds "$tOpen") |
| Packet scan | \`ffmpeg -v error -i $n5 -c copy -f null -\` | $(seconds "$tScan") |
| Level scan | \`engine_bench levels $n5\` | $(seconds "$tLevels") |
| Full decode | \`ffmpeg -v error -i $n5 -f null -\` | $(seconds "$tDecode") |
| Pull to the end, 64 KiB blocks (for reference) | \`engine_bench pull $n5\` | $(seconds "$tPull") |
| Peak memory, open | \`engine_bench open $n60\` | $memOpen MiB |
| Peak memory, level scan | \`engine_bench levels $n60\` | $memLevels MiB |
| Peak memory, full decode | \`ffmpeg -v error -i $n60 -f null -\` | $memDecode MiB |

- Open no slower than the packet scan: $(verdict "$tOpen" "$tScan")
- Level scan no slower than the full decode: $(verdict "$tLevels" "$tDecode")
- Peak memory of open below ffmpeg's full decode: $(verdict "$memOpen" "$memDecode" below)
- Peak memory of the level scan below ffmpeg's full decode: $(verdict "$memLevels" "$memDecode" below)
EOF

# The other benchmarks each print their figures and exit 1 when a target is missed; every one
# runs, and the verdicts are added up at the end.
missed=()
check() { "$@" || missed+=("$(basename "$1")"); }

# The waveform: its scan, the window's tick and the program's CPU while it plays.
check "$root/bench/waveform.sh" "$build" "$f5"

# The encoder program against ffmpeg's own AAC encoder, fed the same bytes.
echo
echo "Encoder: faac against ffmpeg on 30 s of 44.1 kHz stereo from a pipe"
check "$root/encoder/bench.sh" "$build/bin"

# The effect routines against the same pull without them.
echo
check "$root/bench/effects.sh" "$build/bin"

# How long the window stalls while it opens long songs.
check "$root/bench/open.sh" "$build" "$f60"

# A 30 s ringtone made by the command line against ffmpeg; the window's export against the job.
check "$root/bench/export.sh" "$build" "$f5"

if [[ $(verdict "$tOpen" "$tScan") == missed || $(verdict "$tLevels" "$tDecode") == missed ]]; then
    missed+=("engine")
fi
if ((${#missed[@]} > 0)); then
    echo "run.sh: targets missed in: ${missed[*]}" >&2
    exit 1
fi
