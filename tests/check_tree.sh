#!/bin/sh
# Checks on the source tree, run with the tests.
#   check_tree.sh layers SRC   no file includes a header from a floor above its own
#   check_tree.sh env SRC      the environment is read in core/settings.cc only, and
#                              the variables it reads are the README's table, no
#                              more and no less
set -eu
mode=$1; src=$2
cd "$src"

# Floors, bottom to top; a folder may include its own floor and those below.
floor() {
  case $1 in
    le|core|kernels) echo 0;; driver) echo 1;; identity) echo 2;;
    render|compose|audio|tessera) echo 3;; engine) echo 4;; session) echo 5;;
    tools|python) echo 6;; tests|bench|fuzz) echo 7;; *) echo -1;;
  esac
}

# Source files, from git where the tree is a checkout.
sources() {
  git ls-files '*.c' '*.cc' '*.h' '*.py' 2>/dev/null ||
    find . -name '*.c' -o -name '*.cc' -o -name '*.h' -o -name '*.py' | sed 's#^\./##'
}

case $mode in
layers)
  files=0; includes=0; bad=0
  for f in $(sources | grep -v '\.py$'); do
    dir=${f%%/*}; own=$(floor "$dir")
    [ "$own" -ge 0 ] || continue
    files=$((files + 1))
    for inc in $(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$f"); do
      top=${inc%%/*}; [ "$top" != "$inc" ] || continue
      to=$(floor "$top"); [ "$to" -ge 0 ] || continue
      includes=$((includes + 1))
      if [ "$to" -gt "$own" ]; then
        echo "layers: $f includes $inc, from a floor above $dir/"; bad=$((bad + 1))
      elif [ "$top" = engine ] && [ "$dir" != engine ] && [ "$own" -lt 5 ] && [ "$dir" != tests ] && [ "$dir" != bench ]; then
        echo "layers: $f includes $inc; only engine/, session/, tools/, bench/ and tests/ reach the engine"; bad=$((bad + 1))
      fi
    done
  done
  echo "layers: $files files, $includes project includes, $bad upward"
  [ "$bad" -eq 0 ];;
env)
  readers=$(sources | grep -Ev '^(tests|fuzz|bench)/|^core/settings\.cc$|\.py$' | xargs grep -lw 'getenv\|environ\|setenv' || true)
  [ -z "$readers" ] || echo "env: read outside core/settings.cc by: $readers"
  code=$(grep -o '\(text\|first\|integer\|count\)("[A-Z0-9_]*"' core/settings.cc | sed 's/.*("//; s/"$//' | sort -u)
  doc=$(sed -n '/^## Environment/,/^## /s/^| `\([A-Z0-9_]*\)`.*/\1/p' README.md | sort -u)
  missing=$(printf '%s\n' "$code" | grep -vxF "$doc" || true)
  stale=$(printf '%s\n' "$doc" | grep -vxF "$code" || true)
  [ -z "$missing" ] || echo "env: read by the code but not in the README's table: $missing"
  [ -z "$stale" ] || echo "env: in the README's table but read nowhere: $stale"
  echo "env: $(printf '%s\n' "$code" | wc -l) variables read, $(printf '%s\n' "$doc" | wc -l) in the README"
  [ -z "$missing$stale$readers" ];;
*) echo "usage: check_tree.sh layers|env SRC" >&2; exit 2;;
esac
