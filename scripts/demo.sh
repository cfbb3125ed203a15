#!/usr/bin/env bash
# The main job: renders a talking avatar's driving track to an H.264 MP4 with
# the engine (1920x1080, 25 fps for the demo avatar) and writes one frame of it
# as a PNG. With no bundle named it uses the built-in demo avatar, which the
# reference generator writes into the build tree on first use (crop 512).
# Speech-driven rendering joins with the audio pipelines.
#
#   scripts/demo.sh [BUNDLE] [le-avatar render options]
#
# Output: build/demo/out.mp4 and build/demo/frame.png unless -o / --png say
# otherwise.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target le-avatar >/dev/null
mkdir -p build/demo
exec "$here/build/tools/le-avatar" render --demo build/demo/avatar -o build/demo/out.mp4 --png build/demo/frame.png "$@"
