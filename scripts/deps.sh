#!/usr/bin/env bash
# Installs the Debian packages that Chimewright needs and that are missing.
# Usage: scripts/deps.sh run|test|bench|package
set -euo pipefail

run_pkgs=(g++ cmake make pkg-config
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev portaudio19-dev
  qt6-base-dev qt6-qpa-plugins fonts-dejavu-core fonts-dejavu-extra)
# The icon's PNG sizes and the manual page are made at build time; CPack's package takes its
# dependencies from dpkg-shlibdeps.
package_pkgs=(librsvg2-bin help2man dpkg-dev)
test_pkgs=(googletest libgtest-dev ffmpeg musepack-tools clang libclang-rt-14-dev llvm
  "${package_pkgs[@]}" desktop-file-utils appstream shared-mime-info libglib2.0-bin debootstrap)
bench_pkgs=(hyperfine time ffmpeg xvfb xauth musepack-tools)

case "${1:-run}" in
  run) wanted=("${run_pkgs[@]}") ;;
  test) wanted=("${run_pkgs[@]}" "${test_pkgs[@]}") ;;
  bench) wanted=("${run_pkgs[@]}" "${bench_pkgs[@]}") ;;
  package) wanted=("${run_pkgs[@]}" "${package_pkgs[@]}") ;;
  *) echo "usage: $0 run|test|bench|package" >&2; exit 2 ;;
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
