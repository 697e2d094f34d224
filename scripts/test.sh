#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test; then runs every test again
# under ThreadSanitizer and under AddressSanitizer with UndefinedBehaviorSanitizer, and fuzzes
# the engine for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test
jobs="$(nproc)"
fixtures="$PWD/build/fixtures"

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

# Every suite again, built with each sanitizer (but the install's, which packages the build and
# runs it elsewhere). ThreadSanitizer cannot see through Qt's own locks: scripts/tsan.supp names
# the races it reports inside Qt.
for sanitizer in thread address; do
  dir="build-$sanitizer"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DCHIME_SANITIZE="$sanitizer" \
    -DCHIME_FIXTURE_CACHE="$fixtures" >/dev/null
  cmake --build "$dir" -j"$jobs"
  echo "== every test under the ${sanitizer} sanitizer"
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp" \
    ASAN_OPTIONS="detect_leaks=1" \
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" -LE install
done

# The engine's fuzz target (libFuzzer, clang) under AddressSanitizer and UndefinedBehaviorSanitizer,
# seeded with short files of every kind made here, for a bounded time. Its corpus stays in
# build-fuzz/ from run to run; an input that fails is saved in build-fuzz/found/ and stops the run.
fuzz_seconds="${CHIME_FUZZ_SECONDS:-90}"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCHIME_ENGINE_ONLY=ON -DCHIME_SANITIZE=address -DCHIME_FUZZ=ON \
  -DCHIME_FIXTURE_CACHE="$fixtures" >/dev/null
cmake --build build-fuzz -j"$jobs" --target engine_fuzz
fuzz/make_seeds.sh build-fuzz/seeds
mkdir -p build-fuzz/corpus build-fuzz/found
echo "== fuzzing the engine for ${fuzz_seconds} s"
ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  build-fuzz/bin/engine_fuzz -max_total_time="$fuzz_seconds" -max_len=70000 -timeout=20 \
  -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix=build-fuzz/found/ \
  build-fuzz/corpus build-fuzz/seeds
