#!/usr/bin/env bash
# Makes the fuzzer's seed files in FOLDER: a short clip of every kind the program opens, and the
# shared files nothing here can make when ../shared/fixtures is there.
# Usage: fuzz/make_seeds.sh FOLDER
set -euo pipefail
out="$1"
mkdir -p "$out"
tone="aevalsrc=0.4*sin(2*PI*440*t)|0.3*sin(2*PI*660*t):s=44100:d=0.3"
make() {
  local name="$1"; shift
  [ -s "$out/$name" ] || ffmpeg -nostdin -v error -y -f lavfi -i "$tone" "$@" "$out/$name"
}
make s16.wav -c:a pcm_s16le
make u8.wav -c:a pcm_u8 -ac 1 -ar 8000
make f32.wav -c:a pcm_f32le
make tone.aiff -c:a pcm_s16be
make tone.mp3 -c:a libmp3lame -b:a 64k
make tone.mp2 -c:a mp2 -b:a 64k
make tone.ogg -c:a libvorbis -q:a 0
make tone.flac -c:a flac
make surround.flac -c:a flac -af "pan=5.1|c0=c0|c1=c1|c2=c0|c3=c1|c4=c0|c5=c1"
make tone.aac -c:a aac -b:a 64k -f adts
make tone.m4a -c:a aac -b:a 64k
make alac.m4a -c:a alac
make tone.ac3 -c:a ac3 -b:a 96k
make tone.wma -c:a wmav2 -b:a 64k
if [ ! -s "$out/tone.mpc" ]; then
  ffmpeg -nostdin -v error -y -f lavfi -i "$tone" "$out/mpc-source.wav"
  mpcenc --silent --overwrite "$out/mpc-source.wav" "$out/tone.mpc" >/dev/null 2>&1 || true
  rm -f "$out/mpc-source.wav"
fi
shared="$(dirname "$0")/../../shared/fixtures"
if [ -d "$shared" ]; then
  for f in "$shared"/*.ape "$shared"/*.it "$shared"/*.mod "$shared"/*.s3m "$shared"/*.xm \
           "$shared"/*.mtm; do
    [ -e "$f" ] && cp -f "$f" "$out/"
  done
fi
