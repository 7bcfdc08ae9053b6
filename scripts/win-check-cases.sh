# Sourced by the checks of the installed Windows set (check-win-set.sh, check-win-whole.sh), with
# their arguments: [--built] [build folder] (default: build-win). Sets `build`, builds the set there
# unless --built is given, and keeps the case counts: ok/fail print one "ok: ..." or "FAIL: ..."
# line per case.
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
