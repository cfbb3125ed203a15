#!/usr/bin/env bash
# Builds one fuzz target with libFuzzer under AddressSanitizer and
# UndefinedBehaviourSanitizer and runs it from the seed corpus.
# usage: scripts/fuzz.sh TARGET SECONDS      (targets: imx manifest onnx a2x_meta motion_meta samples tessera_json head_pt lip_template bank_track)
# Ends with: fuzz TARGET execs=<n> crashes=<n>
set -euo pipefail
target=${1:?usage: scripts/fuzz.sh TARGET SECONDS}
seconds=${2:?usage: scripts/fuzz.sh TARGET SECONDS}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$here/scripts/setup.sh"

build="$here/build-fuzz"
CC=clang-14 CXX=clang++-14 cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLE_FUZZ=ON -DLE_SANITIZE=address,undefined -DLE_BUILD_TESTS=OFF -DLE_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" -j2 --target "fuzz_$target" >/dev/null

corpus="$build/corpus/$target"
artifacts="$build/artifacts/$target"
mkdir -p "$corpus" "$artifacts"
cp -n "$build/fuzz/seeds/$target"/* "$corpus/" 2>/dev/null || true
cp -n "$here/fuzz/regressions/$target"/* "$corpus/" 2>/dev/null || true
rm -f "$artifacts"/*

# onnxruntime's own start-up allocations stay for the life of the process
# (the sanitizer runs suppress them the same way).
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$here/tests/lsan.supp}
log="$build/fuzz_$target.log"
set +e
"$build/fuzz/fuzz_$target" "$corpus" -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$artifacts/" -rss_limit_mb=4096 -timeout=30 >"$log" 2>&1
rc=$?
set -e
execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
crashes=$(find "$artifacts" -type f | wc -l)
tail -n 20 "$log" | grep -E '^(#|stat::|==|SUMMARY)' | tail -n 8 || true
[ "$crashes" -gt 0 ] && ls "$artifacts"
echo "fuzz $target execs=${execs:-0} crashes=$crashes"
[ "$rc" -eq 0 ] && [ "$crashes" -eq 0 ]
