#!/usr/bin/env bash
# The main job. For now the engine resolves and validates bundles: this builds
# the command-line tool and checks the bundle named (a directory or an .imx
# container). With no bundle named it uses the built-in demo avatar, which the
# reference generator writes into the build tree on first use (1920x1080,
# crop 512). Rendering joins as the renderer and compositor land.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target le-avatar >/dev/null
tool="$here/build/tools/le-avatar"

if [ $# -ge 1 ]; then
  exec "$tool" check "$1"
fi

demo="$here/build/demo/avatar"
if [ ! -f "$demo.stamp" ] || [ "$here/tools/refavatar" -nt "$demo.stamp" ]; then
  /usr/bin/python3 "$here/tools/le_refavatar.py" --preset demo --out "$demo"
  touch "$demo.stamp"
fi
"$tool" check "$demo"
