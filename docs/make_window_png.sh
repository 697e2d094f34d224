#!/usr/bin/env bash
# Makes docs/window.png: the main window with a made-up song of 3:30 open, its waveform
# scanned, a selection from 0:48 to 1:18 and the play position at 1:02.
#
# Usage: docs/make_window_png.sh [BUILD_DIR]   (default: build, with window_picture built)
# Needs ffmpeg with libmp3lame, and the screenshot tool beside the repository
# (../shared/tools/screenshot), which needs xvfb, x11-utils and imagemagick.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
work=$(mktemp -d)
song="/tmp/Demo Song.mp3"  # the name the picture shows
trap 'rm -rf "$work" "$song"' EXIT

# Sections of different loudness over a beat every 0.48 s, faded in and out; the two sides
# differ a little.
gain='if(lt(t,12),0.3*t/12,if(lt(t,50),0.42,if(lt(t,80),0.8,if(lt(t,118),0.5,if(lt(t,150),0.85,if(lt(t,165),0.28,if(lt(t,195),0.9,0.9*(210-t)/15)))))))'
beat='(0.5+0.5*exp(-7*mod(t,0.48)))*(0.85+0.15*sin(2*PI*t/3.7))'
left="$gain*$beat*(0.6*sin(2*PI*110*t)+0.3*sin(2*PI*165*t))"
right="$gain*$beat*(0.55*sin(2*PI*220*t+1)+0.3*sin(2*PI*277*t))*(0.9+0.1*sin(2*PI*t/5.3))"
ffmpeg -v error -y -f lavfi -i "aevalsrc='$left|$right':s=44100:d=210" \
    -f lavfi -i "anoisesrc=d=210:c=pink:a=0.04:seed=3" \
    -filter_complex "[1]pan=stereo|c0=c0|c1=c0[n];[0][n]amix=inputs=2:normalize=0" \
    -c:a libmp3lame -b:a 192k "$song"

shot=$work/screen.png
"$root/../shared/tools/screenshot" "$shot" 4 env HOME="$work" CHIMEWRIGHT_AUDIO=silent \
    "$build/bin/window_picture" "$song" 48 78 62
# The window stands centred on the 800 x 600 screen.
convert "$shot" -crop 537x447+131+76 +repage "$root/docs/window.png"
echo "wrote $root/docs/window.png"
