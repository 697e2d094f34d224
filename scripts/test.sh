#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test; then runs the tests of the
# libraries that link no Qt (engine, effects, export, waveform scan) again under ThreadSanitizer
# and AddressSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test
jobs="$(nproc)"
fixtures="$PWD/build/fixtures"

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

for sanitizer in thread address; do
  dir="build-$sanitizer"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DCHIME_ENGINE_ONLY=ON \
    -DCHIME_SANITIZE="$sanitizer" -DCHIME_FIXTURE_CACHE="$fixtures" >/dev/null
  cmake --build "$dir" -j"$jobs" --target engine_tests effects_tests export_tests waveform_tests faac
  echo "== engine, effects, export and waveform scan tests under the ${sanitizer} sanitizer"
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ASAN_OPTIONS="detect_leaks=1" \
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" -L '^(engine|effects|export|waveform)$'
done
