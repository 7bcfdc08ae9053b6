#!/usr/bin/env bash
# Installs what is missing, builds the suite twice (plain, then with AddressSanitizer and
# UndefinedBehaviorSanitizer), runs it with ctest each time, then runs every fuzzer briefly.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/install-deps.sh

jobs=$(nproc)
fuzz_seconds=${KVLB_FUZZ_SECONDS:-20}

build() {  # build <dir> <cmake options...>
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVLB_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

echo "== plain build and tests"
build build
ctest --test-dir build -j "$jobs" --output-on-failure --timeout 300 | tee build/ctest-summary.log
total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' build/ctest-summary.log | tail -n 1)

echo "== sanitizer build and tests"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
build build-asan -DKVLB_SANITIZE=ON
ctest --test-dir build-asan -j "$jobs" --output-on-failure --timeout 600 --repeat until-fail:${KVLB_ASAN_REPEAT:-1}
echo "== programs talking across processes, several rounds under the sanitizers"
ctest --test-dir build-asan -j "$jobs" --output-on-failure --timeout 600 --repeat until-fail:${KVLB_IPC_REPEAT:-4} \
  -R '^(ipc_transport_test|platform_user_windows_test|platform_sync_test|service_shutdown_test)\.'

echo "== fuzzers (${fuzz_seconds}s each)"
build build-fuzz -DKVLB_FUZZ=ON -DKVLB_TESTS=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
shopt -s nullglob
for f in build-fuzz/fuzz/*; do
  [ -f "$f" ] && [ -x "$f" ] || continue
  name=$(basename "$f")
  corpus="build-fuzz/corpus/$name"; mkdir -p "$corpus"
  seeds=()
  [ -d "fuzz/seeds/$name" ] && seeds=("fuzz/seeds/$name")
  echo "-- $name"
  KVLB_ROOT=$(mktemp -d) "$f" -max_total_time="$fuzz_seconds" -print_final_stats=0 "$corpus" "${seeds[@]}" 2>&1 | tail -n 2
  [ "${PIPESTATUS[0]}" -eq 0 ] || { echo "fuzzer $name failed"; exit 1; }
done
echo "== all done"
echo "tests: ${total:-0} passed, 0 failed"
