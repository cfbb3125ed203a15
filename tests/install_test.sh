#!/bin/sh
# Installs the build into a scratch prefix and shows the install standing on
# its own: with the build tree and the checkout's .deps/ out of sight (a
# private mount namespace lays empty directories over them), the installed
# le-avatar checks a bundle, C hosts built through pkg-config and through
# the CMake package load the library and render a frame, and so does the
# Python package installed beside the library.
#   install_test.sh BUILD HOSTSRC BUNDLE DEPS
set -eu
build=$1; src=$2; bundle=$3; deps=$4
prefix=$(mktemp -d); trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
cp -r "$bundle" "$prefix/bundle"
cp "$src/host.py" "$prefix/host.py"
libdir=$(dirname "$(ls -d "$prefix"/lib*/pkgconfig | head -1)")
PKG_CONFIG_PATH=$libdir/pkgconfig cc -std=c99 -o "$prefix/host_pc" "$src/host.c" \
  $(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs le_core) -Wl,-rpath,"$libdir"
cmake -S "$src" -B "$prefix/hb" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/hb" >/dev/null

run='"$0/bin/le-avatar" check "$0/bundle" | grep -q "^director" && "$0/host_pc" "$0/bundle" && "$0/hb/host" "$0/bundle"'
run="$run"' && /usr/bin/python3 "$0/host.py" "$0/'"${libdir#"$prefix"/}"'/python3/dist-packages" "$0/bundle"'
hide='mount -t tmpfs none "$1" && { [ ! -d "$2" ] || mount -t tmpfs none "$2"; } && shift 2 && '
if unshare -m true 2>/dev/null; then
  unshare -m sh -c "$hide$run" "$prefix" "$build" "$deps"
  echo "install: le-avatar check, both C hosts and the Python package ran with $build and $deps hidden"
else
  # No mount namespace here: run as installed, and make sure nothing points back.
  if readelf -d "$libdir"/lible_core.so* "$prefix/bin/le-avatar" | grep -E 'R(UN)?PATH' | grep -qF -e "$build" -e "$deps"; then
    echo "install: a RUNPATH points into the build or .deps" >&2; exit 1
  fi
  sh -c "$run" "$prefix"
  echo "install: ran as installed (no mount namespace to hide the build tree)"
fi
