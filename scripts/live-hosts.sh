#!/usr/bin/env bash
# Several live hosts behind one address: starts N hosts (python3 -m
# le_core.serve) on loopback ports PORT+1..PORT+N and haproxy on PORT in front
# of them, with deploy/haproxy.cfg. Builds nothing: the library is
# $LE_CORE_LIB, else build/lible_core.so (scripts/live.sh --hosts N builds it
# first). Every other argument goes to each host. Ctrl-C (or SIGTERM) stops
# them all.
#
#   scripts/live-hosts.sh --hosts N [--host ADDR] [--port 8080] [BUNDLE] [host options...]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
hosts=2 addr=127.0.0.1 port=8080 pass=()
while [ $# -gt 0 ]; do
  case $1 in
    --hosts) hosts=${2:?--hosts needs a number}; shift 2;;
    --host) addr=${2:?--host needs an address}; shift 2;;
    --port) port=${2:?--port needs a number}; shift 2;;
    *) pass+=("$1"); shift;;
  esac
done
case $hosts in ''|*[!0-9]*) echo "live-hosts: --hosts wants a number, not '$hosts'" >&2; exit 2;; esac
case $port in ''|*[!0-9]*) echo "live-hosts: --port wants a number, not '$port'" >&2; exit 2;; esac
[ "$hosts" -ge 1 ] || { echo "live-hosts: --hosts must be at least 1" >&2; exit 2; }
[ $((port + hosts)) -le 65535 ] || { echo "live-hosts: ports $port..$((port + hosts)) do not fit" >&2; exit 2; }
command -v haproxy >/dev/null || { echo "live-hosts: haproxy is missing (scripts/setup.sh installs it)" >&2; exit 2; }

export LE_CORE_LIB=${LE_CORE_LIB:-$here/build/lible_core.so}
export PYTHONPATH="$here/python${PYTHONPATH:+:$PYTHONPATH}"
run=$(mktemp -d "${TMPDIR:-/tmp}/le-live-hosts.XXXXXX")
pids=()
stop() {
  trap - EXIT INT TERM
  [ ${#pids[@]} -eq 0 ] || kill "${pids[@]}" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$run"
}
trap stop EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

cp "$here/deploy/busy.http" "$run/busy.http"
cp "$here/deploy/haproxy.cfg" "$run/haproxy.cfg"
for ((i = 1; i <= hosts; i++)); do
  echo "    server h$i 127.0.0.1:$((port + i)) cookie h$i" >>"$run/haproxy.cfg"
  /usr/bin/python3 -m le_core.serve "${pass[@]}" --host 127.0.0.1 --port $((port + i)) \
    > >(sed -u "s/^/[h$i] /" >&2) 2>&1 &
  pids+=($!)
done
# haproxy opens the door once every host answers.
for ((i = 1; i <= hosts; i++)); do
  /usr/bin/python3 - "$((port + i))" "${pids[$((i - 1))]}" <<'EOF'
import os, sys, time, urllib.request
port, pid = sys.argv[1], int(sys.argv[2])
deadline = time.time() + 300
while True:
    try:
        urllib.request.urlopen("http://127.0.0.1:%s/status" % port, timeout=2).read()
        break
    except OSError:
        try:
            os.kill(pid, 0)
        except OSError:
            sys.exit("live-hosts: the host on port %s stopped" % port)
        if time.time() > deadline:
            sys.exit("live-hosts: the host on port %s did not start" % port)
        time.sleep(0.2)
EOF
done
export LE_LB_BIND="$addr:$port" LE_LB_DIR="$run"
haproxy -c -q -f "$run/haproxy.cfg" || { echo "live-hosts: haproxy refused $run/haproxy.cfg" >&2; exit 1; }
haproxy -db -f "$run/haproxy.cfg" &
pids+=($!)
echo "[live-hosts] $hosts hosts behind http://$addr:$port/ (Ctrl-C stops them)" >&2
wait -n "${pids[@]}"
echo "[live-hosts] a host or haproxy stopped; stopping the rest" >&2
exit 1
