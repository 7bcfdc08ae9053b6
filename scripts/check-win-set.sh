#!/usr/bin/env bash
# Builds the set as 32-bit Windows programs and checks it under Wine, in a prefix of its own, case
# by case: the programs are GUI-subsystem PE files that need no compiler DLL beside them; the set
# installs into one program folder (the adapter in its KVLB\ folder) and the stand-in component
# registers with regsvr32; the monitor launches the service, whose first port answers this
# machine's curl over TLS with the build's ECDSA certificate; an echo with a path id opens a
# session through the installed adapter and answers 0; the worker's -allstop ends the set again.
# Each case prints "ok: ..." or "FAIL: ...", the last line is "check-win-set: N passed, M failed",
# and the exit status is non-zero when a case failed.
#
#   scripts/check-win-set.sh [--built] [build folder]     (default: build-win)
#
# --built checks the set already in the build folder (the test command's) without building it.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
built=0
if [ "${1:-}" = "--built" ]; then
  built=1
  shift
fi
build=$(mkdir -p "${1:-$here/build-win}" && cd "${1:-$here/build-win}" && pwd)

if [ "$built" -eq 0 ]; then
  deps=$("$here/scripts/build-win-deps.sh" | tail -n 1) || exit 1
  cmake -S "$here" -B "$build" -G Ninja -DKVLB_WERROR=ON -DKVLB_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-i686.cmake" -DKVLB_WIN_DEPS="$deps" >/dev/null || exit 1
  cmake --build "$build" -j "$(nproc)" || exit 1
fi

passed=0 failed=0
ok() {
  echo "ok: $1"
  passed=$((passed + 1))
}
fail() {
  echo "FAIL: $1"
  failed=$((failed + 1))
}
finish() {
  [ -n "${WINEPREFIX:-}" ] && [ -n "${dest:-}" ] &&
    (cd "$dest" && timeout 60 wine KVLBTessarionWorker.exe -allstop >/dev/null 2>&1 </dev/null)
  kvlb_wine_stop
  echo "check-win-set: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

port=56462
listening() { ss -ltn | grep -q "127.0.0.1:$port "; }

programs="KVLBTessarionMain KVLBTessarionMonitor KVLBTessarionWorker"
for p in $programs; do
  exe="$build/bin/$p.exe"
  head=$(i686-w64-mingw32-objdump -f -p "$exe" 2>&1)
  if ! grep -q 'file format pei-i386' <<<"$head"; then
    fail "$p.exe is no 32-bit PE file"
  elif ! grep -q 'Subsystem.*(Windows GUI)' <<<"$head"; then
    fail "$p.exe is not a GUI program"
  elif dlls=$(grep -iE 'DLL Name: (libstdc|libgcc|libwinpthread)' <<<"$head"); then
    fail "$p.exe needs a compiler DLL: $dlls"
  else
    ok "$p.exe is a 32-bit GUI program without compiler DLLs"
  fi
done

if listening; then
  fail "port $port is taken before the set starts"
  echo "check-win-set: $passed passed, $failed failed"
  exit 1
fi

# shellcheck source=scripts/wine-env.sh
. "$here/scripts/wine-env.sh"
trap finish EXIT
# The prefix's first programs start Wine's background ones, which keep whatever output they were
# given: never a pipe of the caller's.
kvlb_wine_start "$build/wine" >/dev/null 2>&1 </dev/null || {
  fail "no Wine prefix in $build/wine"
  exit 1
}
wine cmd /c exit 0 >/dev/null 2>&1 </dev/null
kvlb_wine_install_netstat "$build/wine-tools/netstat.exe" >/dev/null 2>&1 </dev/null

# One program folder as the installer leaves it: the programs, the adapter in KVLB\, the stand-in
# component beside them in Component\, registered in the prefix.
if dest=$(kvlb_wine_install_set "$build"); then
  ok "the stand-in component registers with regsvr32 from the program folder"
else
  fail "the set could not be installed into the prefix, or regsvr32 did not register the component"
fi

(cd "$dest" && setsid wine KVLBTessarionMonitor.exe >"$build/wine/monitor.log" 2>&1 </dev/null &)
for _ in $(seq 240); do
  listening && break
  sleep 0.25
done
if ! listening; then
  fail "the monitor's service does not listen on $port"
  exit 1
fi
ok "the monitor launched the service, which listens on 127.0.0.1:$port"

# ask <request JSON>: the "result" of the service's answer, still in Base64.
ask() {
  local request answer
  request=$(printf '%s' "$1" | base64 -w0)
  answer=$(curl -sS --max-time 20 --cacert "$build/certs/kvlb_ec_cert.pem" -H 'Origin: https://app.example.test' \
    --data-urlencode "Parameter=$request" "https://127.0.0.1:$port/" 2>&1)
  sed -n 's/.*"result": *"\([^"]*\)".*/\1/p' <<<"$answer"
  [ -n "$answer" ] || echo "(no answer)" >&2
}

result=$(ask '{"FunctionName":"TessarionEcho","PathID":"5D0E7B21C48A4F93B6E2D7150A9C3F68","minServerVersion":"1.0.21.0630"}')
if [ "$result" = "MA==" ]; then
  ok "the echo with a path id opened a session through the installed adapter over TLS: result 0"
else
  fail "the echo with a path id answered result '$result' ($(base64 -d <<<"$result" 2>/dev/null)), not 0"
fi

(cd "$dest" && timeout 60 wine KVLBTessarionWorker.exe -allstop >/dev/null 2>&1 </dev/null)
for _ in $(seq 80); do
  listening || break
  sleep 0.25
done
if listening; then
  fail "the service still listens after the worker's -allstop"
else
  ok "the worker's -allstop ended the set"
fi
