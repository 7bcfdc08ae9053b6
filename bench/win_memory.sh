#!/usr/bin/env bash
# The Windows set's memory under Wine with its sessions open: installs the set already built in the
# build folder into a Wine prefix of the benchmark's own, starts the monitor (which launches the
# service), opens the sessions one echo with a path id each (every one loads its own copy of the
# adapter) and prints the service's resident memory before and with them open. Builds nothing.
# Not part of the tests or CI. The service's ports are fixed: run it in a network namespace of its
# own,
#
#   unshare -n bash -c 'ip link set lo up; bash bench/win_memory.sh [build folder] [sessions]'
#
# (build folder default build-win, sessions default 32, the service's number of session slots).
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build-win}" && pwd) || exit 1
sessions=${2:-32}
port=56462
target_mib=48

listening() { ss -ltn | grep -q "127.0.0.1:$port "; }
if listening; then
  echo "port $port is taken: run this in a network namespace of its own" >&2
  exit 1
fi

# shellcheck source=scripts/wine-env.sh
. "$here/scripts/wine-env.sh"
dest=""
finish() {
  [ -n "$dest" ] && (cd "$dest" && timeout 60 wine KVLBTessarionWorker.exe -allstop >/dev/null 2>&1 </dev/null)
  kvlb_wine_stop
}
trap finish EXIT

kvlb_wine_ready "$build/wine-memory" "$build/wine-tools/netstat.exe" || {
  echo "no Wine prefix in $build/wine-memory" >&2
  exit 1
}
dest=$(kvlb_wine_install_set "$build") || {
  echo "the set could not be installed into the prefix" >&2
  dest=""
  exit 1
}
(cd "$dest" && setsid wine KVLBTessarionMonitor.exe >"$build/wine-memory/monitor.log" 2>&1 </dev/null &)
for _ in $(seq 240); do
  listening && break
  sleep 0.25
done
if ! listening; then
  echo "the monitor's service does not listen on $port" >&2
  exit 1
fi

# The service's process among this prefix's ones (other prefixes are told apart by their environment).
service_pid() {
  local e d
  grep -lzxF "WINEPREFIX=$WINEPREFIX" /proc/[0-9]*/environ 2>/dev/null | while IFS= read -r e; do
    d=${e%/environ}
    tr '\0' ' ' 2>/dev/null <"$d/cmdline" | grep -qi 'KVLBTessarionMain\.exe' && echo "${d#/proc/}"
  done | head -n 1
}
# resident <pid>: VmRSS in KiB.
resident() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f MiB", k / 1024 }'; }

pid=$(service_pid)
if [ -z "$pid" ]; then
  echo "no service process in the prefix" >&2
  exit 1
fi
post() {
  curl -sS --max-time 20 --cacert "$build/certs/kvlb_ec_cert.pem" -H 'Origin: https://app.example.test' \
    --data-urlencode "Parameter=$(printf '%s' "$1" | base64 -w0)" "https://127.0.0.1:$port/" 2>/dev/null
}
# A first echo without a session, so the service's TLS and request paths are in memory before the
# first figure.
post '{"FunctionName":"TessarionEcho"}' >/dev/null
before=$(resident "$pid")

opened=0
open='{"FunctionName":"TessarionEcho","PathID":"5D0E7B21C48A4F93B6E2D7150A9C3F68","minServerVersion":"1.0.21.0630"}'
for _ in $(seq "$sessions"); do
  grep -q '"result": *"MA=="' <<<"$(post "$open")" && opened=$((opened + 1))
done
with=$(resident "$pid")

echo "Windows set of $build under Wine ($(wine --version 2>/dev/null)):"
for f in KVLBTessarionMain.exe KVLBTessarionMonitor.exe KVLBTessarionWorker.exe KVLB/KvlbTokenAdapter.dll \
  Component/SigningComponent.dll; do
  printf '  %-32s %9d bytes\n' "$f" "$(stat -c %s "$build/bin/$f")"
done
echo "service resident memory, no session open: $(mib "$before")"
echo "service resident memory, $opened of $sessions sessions open: $(mib "$with") (target < $target_mib MiB for 32)"
[ "$opened" -eq "$sessions" ]
