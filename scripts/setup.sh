#!/usr/bin/env bash
# Installs everything le_core needs on a Debian 12 (or later) machine, as root.
# Idempotent: a second run only checks. Downloads are cached per user so a
# fresh clone does not fetch them again.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
deps="$here/.deps"
cache="${XDG_CACHE_HOME:-$HOME/.cache}/le_core"
ort_version=1.30.0
ort_sha256=ffb75a925ba05e47b235bb66e3e3911714a80b328a9c9425539feb204aa32a23

log() { echo "[setup] $*" >&2; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# --- Debian packages -------------------------------------------------------
packages=(
  g++ cmake pkg-config make
  libgtest-dev libgmock-dev libbenchmark-dev
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev ffmpeg
  libhwy-dev libstb-dev
  python3 python3-onnx python3-numpy python3-skimage espeak-ng alsa-utils
  python3-aiohttp python3-aiortc python3-selenium chromium chromium-driver haproxy
  clang-14 libfuzzer-14-dev libclang-rt-14-dev
  ca-certificates
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# npm may come from Node.js's own package rather than Debian's npm.
command -v npm >/dev/null 2>&1 || missing+=(npm)
apt_updated=0
if [ ${#missing[@]} -gt 0 ]; then
  log "installing Debian packages: ${missing[*]}"
  as_root apt-get update -qq
  apt_updated=1
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

mkdir -p "$deps" "$cache"

# --- onnxruntime headers ---------------------------------------------------
# A packaged onnxruntime (Debian 13 and later) is used as it is; CMake finds it.
system_ort() {
  [ -f /usr/include/onnxruntime/onnxruntime_cxx_api.h ] && ls /usr/lib/*/libonnxruntime.so >/dev/null 2>&1
}
if ! system_ort && [ ! -f "$deps/onnxruntime/include/onnxruntime_cxx_api.h" ]; then
  if [ "$apt_updated" = 0 ] && ! apt-cache policy libonnxruntime-dev 2>/dev/null | grep -q 'Candidate: [0-9]'; then
    as_root apt-get update -qq; apt_updated=1
  fi
  if apt-cache policy libonnxruntime-dev 2>/dev/null | grep -q 'Candidate: [0-9]'; then
    log "installing the packaged onnxruntime"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends libonnxruntime-dev
  fi
fi

if ! system_ort && [ ! -f "$deps/onnxruntime/include/onnxruntime_cxx_api.h" ]; then
  deb=$(ls "$cache"/libonnxruntime-dev_*.deb 2>/dev/null | head -1 || true)
  if [ -z "$deb" ]; then
    # The machine's own Debian mirror, read from its apt configuration, serves
    # the next release's headers; the temporary source lives in a private
    # directory and is gone when this block ends.
    uri=$( { cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '
                 function plain(line,  n, w, i) { n = split(line, w, /[ \t]+/)
                   for (i = 2; i <= n; i++) if (w[i] ~ /^(bookworm|trixie|forky|sid|stable|testing)$/) return 1
                   return 0 }
                 /^URIs:/ {u=$2} /^Suites:/ {s=$0}
                 /^$/ { if (u != "" && plain(s)) {print u; exit} u=""; s="" }
                 END { if (u != "" && plain(s)) print u }';
             grep -hE '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
               awk '{for(i=2;i<=NF;i++) if ($i ~ /:\/\//) {if ($(i+1) ~ /^(bookworm|trixie|forky|sid|stable|testing)$/) print $i; break}}'; } | head -1 || true)
    [ -n "$uri" ] || { log "no Debian source configured in /etc/apt: cannot fetch the onnxruntime headers"; exit 1; }
    tmp=$(mktemp -d)
    trap 'rm -rf "$tmp"' EXIT
    mkdir -p "$tmp/lists/partial" "$tmp/parts" "$tmp/dl"
    keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    printf 'Types: deb\nURIs: %s\nSuites: trixie\nComponents: main\nSigned-By: %s\n' "$uri" "$keyring" > "$tmp/trixie.sources"
    aptopts=(-o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$tmp/parts"
             -o "Dir::State::Lists=$tmp/lists" -o "APT::Get::List-Cleanup=0"
             -o "APT::Sandbox::User=root")
    cp "$tmp/trixie.sources" "$tmp/parts/"
    log "fetching libonnxruntime-dev headers from the next Debian release"
    apt-get "${aptopts[@]}" update -qq
    (cd "$tmp/dl" && apt-get "${aptopts[@]}" download libonnxruntime-dev)
    deb=$(ls "$tmp"/dl/libonnxruntime-dev_*.deb | head -1)
    cp "$deb" "$cache/"
    deb="$cache/$(basename "$deb")"
    rm -rf "$tmp"; trap - EXIT
  fi
  x=$(mktemp -d)
  dpkg -x "$deb" "$x"
  rm -rf "$deps/onnxruntime/include"
  mkdir -p "$deps/onnxruntime"
  cp -r "$x/usr/include/onnxruntime" "$deps/onnxruntime/include"
  rm -rf "$x"
  log "onnxruntime headers in $deps/onnxruntime/include"
fi

# --- onnxruntime runtime ---------------------------------------------------
if ! system_ort; then
  lib="$deps/onnxruntime/lib/libonnxruntime.so.1"
  check() { [ -f "$1" ] && [ "$(sha256sum "$1" | cut -d' ' -f1)" = "$ort_sha256" ]; }
  if ! check "$lib"; then
    cached="$cache/libonnxruntime.so.$ort_version"
    if ! check "$cached"; then
      log "fetching the onnxruntime $ort_version CPU runtime (npm package onnxruntime-node)"
      tmp=$(mktemp -d)
      trap 'rm -rf "$tmp"' EXIT
      (cd "$tmp" && npm pack --silent --ignore-scripts "onnxruntime-node@$ort_version" >/dev/null)
      tar -xzf "$tmp"/onnxruntime-node-*.tgz -C "$tmp" package/bin/napi-v6/linux/x64/libonnxruntime.so.1
      cp "$tmp/package/bin/napi-v6/linux/x64/libonnxruntime.so.1" "$cached.tmp"
      mv "$cached.tmp" "$cached"
      rm -rf "$tmp"; trap - EXIT
      check "$cached" || { log "sha256 mismatch for the onnxruntime runtime: refusing it"; rm -f "$cached"; exit 1; }
    fi
    mkdir -p "$deps/onnxruntime/lib"
    cp "$cached" "$lib"
    ln -sf libonnxruntime.so.1 "$deps/onnxruntime/lib/libonnxruntime.so"
  fi
fi
log "dependencies ready"
