#!/bin/sh
# Installs the build into a scratch prefix and builds a C host against it, once
# through pkg-config and once through the CMake package.
set -eu
build=$1; src=$2
prefix=$(mktemp -d); trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(ls -d "$prefix"/lib*/pkgconfig | head -1)
PKG_CONFIG_PATH=$libdir cc -std=c99 -o "$prefix/host_pc" "$src/host.c" $(PKG_CONFIG_PATH=$libdir pkg-config --cflags --libs le_core)
LD_LIBRARY_PATH=$(dirname "$libdir") "$prefix/host_pc"
cmake -S "$src" -B "$prefix/hb" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/hb" >/dev/null
"$prefix/hb/host"
