#!/usr/bin/env bash
# Installs what is missing, builds Chimewright and starts it; an audio file may follow.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh run
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target chimewright faac
exec build/bin/chimewright "$@"
