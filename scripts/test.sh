#!/usr/bin/env bash
# Builds le_core and passes its tests: a release build running every test but
# the slow ones, then an AddressSanitizer + UndefinedBehaviourSanitizer build
# running the unit and integration tests. Installs what it needs first.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
bash scripts/setup.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2
(cd build && ctest -j2 -LE 'slow|tsan' --output-on-failure)

bash scripts/sanitize.sh asan
