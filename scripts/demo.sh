#!/usr/bin/env bash
# The main job. For now the engine resolves and validates bundles: this builds
# the command-line tool and checks the bundle named (a directory or an .imx
# container). With no bundle named it packs a small sample bundle into a
# container and checks that, which exercises unpacking and the manifest.
# Rendering joins as the renderer and compositor land.
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

sample="$here/build/demo/sample"
mkdir -p "$sample"
cat > "$sample/manifest.json" <<'JSON'
{
  "format": "le-bundle-v0",
  "agent": "sample",
  "NT": 16, "W": 96, "H": 64, "crop": 32,
  "amount": 1.3, "sigma": 2.0, "ksize": 13,
  "frames": 16,
  "paste_source_width": 96, "paste_source_height": 64
}
JSON
"$tool" pack "$sample" "$here/build/demo/sample.imx"
"$tool" check "$here/build/demo/sample.imx"
