#!/usr/bin/env bash
# Builds the tests under a sanitizer and runs them.
#   asan: AddressSanitizer + UndefinedBehaviourSanitizer, unit and integration tests
#   tsan: ThreadSanitizer, the tests of threaded components
set -euo pipefail
kind=${1:?usage: scripts/sanitize.sh asan|tsan}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
bash scripts/setup.sh
case "$kind" in
  asan) san=address,undefined; label='unit|integration' ;;
  tsan) san=thread; label=tsan ;;
  *) echo "usage: scripts/sanitize.sh asan|tsan" >&2; exit 2 ;;
esac
build="build-$kind"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DLE_SANITIZE="$san" -DLE_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" -j2
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$here/tests/lsan.supp}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$here/tests/tsan.supp}
# The install test links a plain host against the library, which an
# instrumented build cannot serve.
(cd "$build" && ctest -j2 -L "$label" -E install_and_link --output-on-failure)
