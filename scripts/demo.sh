#!/usr/bin/env bash
# The main job: a talking avatar. Speech (a built-in sentence spoken by
# espeak-ng, or --audio FILE / --text "...") drives an utterance session on the
# bundle; the frames go to an H.264 MP4 with the speech as its AAC track, and
# the faces of the loudest and quietest speech frames to a PNG strip. With no
# bundle named it uses the built-in demo avatar (1920x1080, crop 512), which
# the reference generator writes into the build tree on first use.
#
#   scripts/demo.sh [BUNDLE] [le-avatar render options]
#
# Output: build/demo/out.mp4 and build/demo/strip.png unless -o / --strip say
# otherwise.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target le-avatar >/dev/null
mkdir -p build/demo
speech=()
case " $* " in *" --audio "*|*" --text "*|*" --keypoints "*|*" --frames "*) ;; *)
  speech=(--text "Hello! I am the demo avatar. I listen to speech, and my lips follow what you say, in real time.");;
esac
exec "$here/build/tools/le-avatar" render --demo build/demo/avatar -o build/demo/out.mp4 --strip build/demo/strip.png \
  "${speech[@]}" "$@"
