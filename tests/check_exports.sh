#!/bin/sh
# Every dynamic symbol the library defines must be an le_ function.
lib="$1"
syms=$(nm -D --defined-only "$lib" | awk '{print $3}')
[ -n "$syms" ] || { echo "no exported symbols in $lib"; exit 1; }
bad=$(printf '%s\n' "$syms" | grep -v '^le_' || true)
if [ -n "$bad" ]; then
  echo "symbols outside le_ exported by $lib:"; printf '%s\n' "$bad"; exit 1
fi
notfunc=$(nm -D --defined-only "$lib" | awk '$2 != "T" {print}')
[ -z "$notfunc" ] || { echo "exported non-functions:"; echo "$notfunc"; exit 1; }
echo "$(printf '%s\n' "$syms" | wc -l) exported symbols, all le_ functions"
