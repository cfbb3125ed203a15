#!/usr/bin/env bash
# The live avatar in a browser: builds the library, writes the demo avatar when
# no bundle is named and it is missing, and starts the host
# (python3 -m le_core.serve). Open the address it prints; the page asks for the
# microphone (browsers allow it on localhost) and has a text box for typed
# sentences.
#
#   scripts/live.sh [BUNDLE] [--port 8080] [--max-sessions 2] [--output full|face] [...]
#
# With --hosts N, N hosts start behind haproxy on --port (scripts/live-hosts.sh).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target le_core le-avatar >/dev/null
args=("$@")
if [ $# -eq 0 ] || [ "${1#-}" != "$1" ]; then
  # le-avatar writes the demo avatar when it is missing or older than its generator.
  build/tools/le-avatar check --demo build/demo/avatar >/dev/null
  args=(build/demo/avatar "$@")
fi
port=8080 hosts=0
for ((i = 0; i < ${#args[@]}; i++)); do
  [ "${args[$i]}" = "--port" ] && port=${args[$((i + 1))]:-8080}
  [ "${args[$i]}" = "--hosts" ] && hosts=${args[$((i + 1))]:-0}
done
export LE_CORE_LIB="$here/build/lible_core.so"
[ "$hosts" = 0 ] || exec bash scripts/live-hosts.sh "${args[@]}"
echo "[live] open http://127.0.0.1:$port/ in a browser (Ctrl-C stops the host)" >&2
export PYTHONPATH="$here/python${PYTHONPATH:+:$PYTHONPATH}"
exec /usr/bin/python3 -m le_core.serve "${args[@]}"
