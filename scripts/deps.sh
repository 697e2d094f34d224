#!/usr/bin/env bash
# Installs the Debian packages that Chimewright needs and that are missing.
# Usage: scripts/deps.sh run|test|bench
set -euo pipefail

run_pkgs=(g++ cmake make pkg-config
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev portaudio19-dev
  qt6-base-dev qt6-qpa-plugins fonts-dejavu-core fonts-dejavu-extra)
test_pkgs=(googletest libgtest-dev ffmpeg musepack-tools clang libclang-rt-14-dev llvm)
bench_pkgs=(hyperfine time ffmpeg xvfb xauth musepack-tools)

case "${1:-run}" in
  run) wanted=("${run_pkgs[@]}") ;;
  test) wanted=("${run_pkgs[@]}" "${test_pkgs[@]}") ;;
  bench) wanted=("${run_pkgs[@]}" "${bench_pkgs[@]}") ;;
  *) echo "usage: $0 run|test|bench" >&2; exit 2 ;;
esac

missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
