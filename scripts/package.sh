#!/usr/bin/env bash
# Installs what is missing and builds the Debian package in build-package/ (a Release build):
# chimewright_VERSION_ARCH.deb, its dependencies computed from the libraries the programs link.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh package
# Only what the package holds is built: installing does not wait for the tests.
cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
  >/dev/null
cmake --build build-package -j"$(nproc)" --target chimewright faac desktop_files
(cd build-package && cpack)
