#!/usr/bin/env bash
# Builds the set as 32-bit Windows programs and starts it under Wine, in a prefix of its own: the
# programs are GUI-subsystem PE files that need no compiler DLL beside them, the monitor launches
# the service, whose first port answers this machine's curl over TLS with the build's ECDSA
# certificate, and the worker's -allstop ends the set again.
#
#   scripts/check-win-set.sh [build folder]      (default: build-win)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(mkdir -p "${1:-$here/build-win}" && cd "${1:-$here/build-win}" && pwd)

deps=$("$here/scripts/build-win-deps.sh" | tail -n 1)
cmake -S "$here" -B "$build" -G Ninja -DKVLB_WERROR=ON -DKVLB_TESTS=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-i686.cmake" -DKVLB_WIN_DEPS="$deps" >/dev/null
cmake --build "$build" -j "$(nproc)"

programs="KVLBTessarionMain KVLBTessarionMonitor KVLBTessarionWorker"
for p in $programs; do
  exe="$build/bin/$p.exe"
  head=$(i686-w64-mingw32-objdump -p "$exe")
  grep -q 'Subsystem.*(Windows GUI)' <<<"$head" || { echo "FAIL: $p.exe is not a GUI program" >&2; exit 1; }
  if grep -iE 'DLL Name: (libstdc|libgcc|libwinpthread)' <<<"$head" >&2; then
    echo "FAIL: $p.exe needs a compiler DLL" >&2
    exit 1
  fi
done
echo "ok: $programs are 32-bit GUI programs without compiler DLLs"

if ss -ltn | grep -q '127.0.0.1:56462 '; then
  echo "FAIL: port 56462 is taken before the set starts" >&2
  exit 1
fi

# shellcheck source=scripts/wine-env.sh
. "$here/scripts/wine-env.sh"
finish() {
  [ -n "${WINEPREFIX:-}" ] && (cd "${dest:-/}" && timeout 60 wine KVLBTessarionWorker.exe -allstop >/dev/null 2>&1)
  kvlb_wine_stop
}
trap finish EXIT
kvlb_wine_start "$build/wine"
kvlb_wine_install_netstat "$build/wine-tools/netstat.exe"
dest="$WINEPREFIX/drive_c/Program Files/KVLBTessarion"
mkdir -p "$dest"
for p in $programs; do cp "$build/bin/$p.exe" "$dest/"; done

(cd "$dest" && setsid wine KVLBTessarionMonitor.exe >"$build/wine/monitor.log" 2>&1 </dev/null &)
for _ in $(seq 240); do
  ss -ltn | grep -q '127.0.0.1:56462 ' && break
  sleep 0.25
done
ss -ltn | grep -q '127.0.0.1:56462 ' || { echo "FAIL: the monitor's service does not listen on 56462" >&2; exit 1; }
echo "ok: the monitor launched the service, which listens on 127.0.0.1:56462"

request=$(printf '%s' '{"FunctionName":"TessarionEcho","PathID":"5D0E7B21C48A4F93B6E2D7150A9C3F68","minServerVersion":"1.0.21.0630"}' | base64 -w0)
answer=$(curl -sS --max-time 20 --cacert "$build/certs/kvlb_ec_cert.pem" -H 'Origin: https://app.example.test' \
  --data-urlencode "Parameter=$request" https://127.0.0.1:56462/)
result=$(sed -n 's/.*"result": "\([^"]*\)".*/\1/p' <<<"$answer" | base64 -d 2>/dev/null || true)
[ -n "$result" ] || { echo "FAIL: no result in the echo's answer: $answer" >&2; exit 1; }
echo "ok: the echo was answered over TLS with the ECDSA certificate: result $result"

(cd "$dest" && timeout 60 wine KVLBTessarionWorker.exe -allstop)
for _ in $(seq 80); do
  ss -ltn | grep -q '127.0.0.1:56462 ' || break
  sleep 0.25
done
if ss -ltn | grep -q '127.0.0.1:56462 '; then
  echo "FAIL: the service still listens after the worker's -allstop" >&2
  exit 1
fi
echo "ok: the worker's -allstop ended the set"
