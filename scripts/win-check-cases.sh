# Sourced by the checks of the installed Windows set (check-win-set.sh, check-win-whole.sh,
# check-win-load.sh), with their arguments: [--built] [build folder] (default: build-win). Sets `build`, builds the set there
# unless --built is given, and keeps the case counts: ok/fail print one "ok: ..." or "FAIL: ..."
# line per case. wine_prefix readies the check's prefix; from then on the check's end stops the set
# installed at `dest`, ends the prefix and prints the last line, "<check>: N passed, M failed".
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

check=$(basename "$0" .sh)
# until_ <seconds> <command...>: polls the command every 0.25 s until it succeeds.
until_() {
  local n=$(($1 * 4))
  shift
  while [ "$n" -gt 0 ]; do
    "$@" && return 0
    sleep 0.25
    n=$((n - 1))
  done
  "$@"
}
port=56462
# (Counted, not grep -q: under pipefail a grep that stops early can fail ss with SIGPIPE.)
listening() { [ "$(ss -ltnH | awk -v at="127.0.0.1:$port" '$4 == at' | wc -l)" -gt 0 ]; }
# worker <arguments...>: the installed worker, run to its end.
worker() { (cd "$dest" && timeout 60 wine KVLBTessarionWorker.exe "$@" >/dev/null 2>&1 </dev/null); }
tally() { echo "$check: $passed passed, $failed failed"; }
finish() {
  [ -n "${WINEPREFIX:-}" ] && [ -n "${dest:-}" ] && worker -allstop
  kvlb_wine_stop
  tally
  # The trap's own status would not reach the caller; exit's does.
  [ "$failed" -eq 0 ] && exit 0
  exit 1
}
# wine_prefix <folder>: a ready prefix in the folder, with the set's port still free; the check ends
# here when either is not so.
wine_prefix() {
  if listening; then
    fail "port $port is taken before the set starts"
    tally
    exit 1
  fi
  # shellcheck source=scripts/wine-env.sh
  . "$here/scripts/wine-env.sh"
  trap finish EXIT
  kvlb_wine_ready "$1" "$build/wine-tools/netstat.exe" || {
    fail "no Wine prefix with our netstat.exe in $1"
    exit 1
  }
}
