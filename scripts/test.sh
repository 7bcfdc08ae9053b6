#!/usr/bin/env bash
# Installs what is missing, then runs the suite in stages: a plain build and its tests; a build with
# AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer and its tests; the cross-process
# tests for several rounds under those; a ThreadSanitizer build and its tests; every fuzzer for a
# while; the Windows build (32-bit, mingw-w64), its tests run by ctest under Wine, and checks of
# the whole set started under Wine, among them one under load and faults. Each ctest run also
# replays the fuzzers' seeds and past crashes (fuzz_replay.*).
# A failing stage does not stop the later ones, so one run reports everything. Each stage prints
# its counts, and the last line is the sum over all stages: "N passed, M failed, K skipped".
# The exit status is non-zero when a test failed or was skipped (a skip can hide a fault), or when
# a stage ran nothing.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

# The sanitizers' settings, for every stage and every program the tests start. A suppressions file
# is named only when it exists: LeakSanitizer and ThreadSanitizer refuse to start without it.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=print_suppressions=0
[ -f scripts/lsan.supp ] && LSAN_OPTIONS+=":suppressions=$here/scripts/lsan.supp"
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
[ -f scripts/tsan.supp ] && TSAN_OPTIONS+=":suppressions=$here/scripts/tsan.supp"

jobs=$(nproc)
# KVLB_STAGES picks stages by name (plain sanitizers threads fuzz windows), all by default: a
# developer may run one again alone, say the Windows stage while the others are known good.
stages=" ${KVLB_STAGES:-plain sanitizers threads fuzz windows} "
wanted() { [[ "$stages" == *" $1 "* ]]; }
fuzz_seconds=${KVLB_FUZZ_SECONDS:-20}
cross_process_tests='^(ipc_transport_test|platform_user_windows_test|platform_sync_test|service_shutdown_test)\.'

bash scripts/install-deps.sh || exit 1
started=$SECONDS

total_passed=0 total_failed=0 total_skipped=0
summary=()   # one line per stage, printed again at the end
errors=()    # stages that could not report tests

stage_start=$SECONDS
# stage_begin <title>
stage_begin() {
  stage_start=$SECONDS
  echo "== $1"
}

# stage_done <stage> <passed> <failed> <skipped> [detail]
stage_done() {
  local line="$1: $2 passed, $3 failed, $4 skipped${5:+ ($5)}, $((SECONDS - stage_start)) s"
  total_passed=$((total_passed + $2)) total_failed=$((total_failed + $3)) total_skipped=$((total_skipped + $4))
  if [ $(($2 + $3 + $4)) -eq 0 ]; then
    errors+=("$1 ran nothing")
    line+=" - ran nothing"
  fi
  summary+=("$line")
  echo "== $line"
}

# stage_error <stage> <reason>: the stage ran no tests at all.
stage_error() {
  errors+=("$1: $2")
  summary+=("$1: $2")
  echo "== $1: $2"
}

# build <dir> <cmake options...>
build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVLB_WERROR=ON "$@" >/dev/null &&
    cmake --build "$dir" -j "$jobs"
}

# Counts a ctest JUnit report: "passed failed skipped" over all tests, then the same over the fuzz
# replays, on one line; then the names of the failed and the skipped tests, one a line. A test
# ctest did not run for a reason other than its skip rule (no program, say) has failed.
count_junit() {
  awk '
    function classify(kind) {
      count[kind]++
      if (name ~ /^fuzz_replay\./) replay[kind]++
      if (kind != "pass") names = names "\n  " (kind == "fail" ? "failed: " : "skipped: ") name
    }
    /^[ \t]*<testcase / {
      if (pending) classify("fail")
      pending = 0
      name = $0; sub(/.* name="/, "", name); sub(/".*/, "", name)
      status = $0; sub(/.* status="/, "", status); sub(/".*/, "", status)
      if (status == "run") classify("pass")
      else if (status == "fail") classify("fail")
      else if (status == "disabled") classify("skip")
      else pending = 1
      next
    }
    pending && /^[ \t]*<skipped / { classify($0 ~ /message="SKIP_/ ? "skip" : "fail"); pending = 0 }
    END {
      if (pending) classify("fail")
      print count["pass"] + 0, count["fail"] + 0, count["skip"] + 0, replay["pass"] + 0, replay["fail"] + 0, replay["skip"] + 0
      if (names != "") print substr(names, 2)
    }' "$1"
}

# run_ctest <stage> <build dir> <ctest options...>
run_ctest() {
  local stage=$1 dir=$2
  shift 2
  local junit="$here/$dir/junit-$stage.xml"
  rm -f "$junit"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure --no-tests=error --output-junit "$junit" "$@"
  local status=$?
  if [ ! -s "$junit" ]; then
    stage_error "$stage" "no test report (ctest exit $status)"
    return
  fi
  local counts p f s rp rf rs
  counts=$(count_junit "$junit")
  read -r p f s rp rf rs <<<"$(head -n 1 <<<"$counts")"
  tail -n +2 <<<"$counts"
  # ctest failing with every test passed or skipped (a discovery error, say) is a failure too.
  if [ "$status" -ne 0 ] && [ "$f" -eq 0 ] && [ "$s" -eq 0 ]; then
    errors+=("$stage: ctest exit $status")
  fi
  local replays=""
  [ $((rp + rf + rs)) -gt 0 ] && replays="fuzz replays: $rp passed, $rf failed, $rs skipped"
  stage_done "$stage" "$p" "$f" "$s" "$replays"
}

if wanted plain; then
  stage_begin "plain build and tests"
  if build build; then
    run_ctest plain build --timeout 300
  else
    stage_error plain "build failed"
  fi
fi

if wanted sanitizers; then
  stage_begin "sanitizer build and tests"
  if build build-asan -DKVLB_SANITIZE=ON; then
    run_ctest sanitizers build-asan --timeout 600 --repeat until-fail:"${KVLB_ASAN_REPEAT:-1}"
    stage_begin "programs talking across processes, several rounds under the sanitizers"
    run_ctest cross-process build-asan --timeout 600 --repeat until-fail:"${KVLB_IPC_REPEAT:-4}" -R "$cross_process_tests"
  else
    stage_error sanitizers "build failed"
    stage_error cross-process "not run: the sanitizer build failed"
  fi
fi

if wanted threads; then
  stage_begin "thread sanitizer build and tests"
  tsan=(-DKVLB_TSAN=ON)
  if build build-tsan "${tsan[@]}"; then
    # The body-limit case measures the service's peak memory, which ThreadSanitizer's shadow memory
    # swells by some 90 MB; it runs in the other stages.
    run_ctest threads build-tsan --timeout 900 \
      -E '^service_connection_limits_test\.ServiceConnectionLimits\.BodyPastTheLimitIsCutOffAndTheServiceGoesOn$'
  else
    stage_error threads "build failed"
  fi
fi

if wanted fuzz; then
  stage_begin "fuzzers (${fuzz_seconds}s each)"
  # An input that makes a fuzzer fail is kept in fuzz/crashes/<name>/, where ctest replays it from
  # then on: commit it with the fix.
  if build build-fuzz -DKVLB_FUZZ=ON -DKVLB_TESTS=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++; then
    fuzz_logs=$(mktemp -d)
    fuzzers=()
    for f in build-fuzz/fuzz/*; do
      [ -f "$f" ] && [ -x "$f" ] && fuzzers+=("$(basename "$f")")
    done
    # One core each, as many at a time as there are cores.
    for name in "${fuzzers[@]}"; do
      while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
      (
        corpus="build-fuzz/corpus/$name" crashes="$here/fuzz/crashes/$name"
        mkdir -p "$corpus" "$crashes"
        seeds=()
        [ -d "fuzz/seeds/$name" ] && seeds=("fuzz/seeds/$name")
        root=$(mktemp -d)
        KVLB_ROOT=$root "build-fuzz/fuzz/$name" -max_total_time="$fuzz_seconds" -print_final_stats=0 \
          -artifact_prefix="$crashes/" "$corpus" "${seeds[@]}" >"$fuzz_logs/$name.log" 2>&1
        echo $? >"$fuzz_logs/$name.status"
        rm -rf "$root"
      ) &
    done
    wait
    # Only the folders of fuzzers that failed stay.
    rmdir fuzz/crashes/* fuzz/crashes 2>/dev/null
    passed=0 failed=0
    for name in "${fuzzers[@]}"; do
      echo "-- $name"
      if [ "$(cat "$fuzz_logs/$name.status")" -eq 0 ]; then
        tail -n 2 "$fuzz_logs/$name.log"
        passed=$((passed + 1))
      else
        tail -n 60 "$fuzz_logs/$name.log"
        echo "fuzzer $name failed; its input is in fuzz/crashes/$name/"
        failed=$((failed + 1))
      fi
    done
    rm -rf "$fuzz_logs"
    stage_done fuzz "$passed" "$failed" 0 "fuzzers run for ${fuzz_seconds}s each"
  else
    stage_error fuzz "build failed"
  fi
fi

if wanted windows; then
  stage_begin "Windows build, its tests and the set under Wine"
  # The tests of the folders ported to Windows (the platform's COM support, the component, the
  # adapter) run through Wine in a prefix of their own; then the whole set is installed into another
  # and checked case by case (scripts/check-win-set.sh), into a third for the set as a whole
  # (scripts/check-win-whole.sh), and into a fourth for the set under load and faults
  # (scripts/check-win-load.sh). The dependency cache is built once and kept.
  win_dir=build-win
  if bash scripts/install-win-deps.sh && win_deps=$(bash scripts/build-win-deps.sh | tail -n 1) &&
    build "$win_dir" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-i686.cmake" -DKVLB_WIN_DEPS="$win_deps" \
      -DKVLB_TESTS=ON; then
    if ! wine_missing=$(. scripts/wine-env.sh && kvlb_wine_runs_here 2>&1); then
      # On such a machine the set is built and the host reads its files (stripped, each debug file
      # beside it, XP's imports only); running it needs another machine, and the summary says so.
      # Those checks are the top folder's own tests: ctest would list every other folder's by
      # running its programs under Wine, so they are read from the top folder's test file alone.
      echo "$wine_missing"
      mkdir -p "$win_dir/host-tests"
      grep -v '^subdirs(' "$win_dir/CTestTestfile.cmake" >"$win_dir/host-tests/CTestTestfile.cmake"
      run_ctest windows "$win_dir/host-tests" --timeout 300
      summary+=("windows: the set's runs under Wine were not made: $wine_missing")
    else
      rm -f "$win_dir/junit-windows.xml" "$win_dir/ctest.status"
      (
        # A subshell of its own: the Xvfb that wine-env.sh may start is never waited for by this script.
        # shellcheck source=scripts/wine-env.sh
        . scripts/wine-env.sh
        kvlb_wine_ready "$win_dir/wine-tests" "$win_dir/wine-tools/netstat.exe" || exit 1
        ctest --test-dir "$win_dir" -j "$jobs" --output-on-failure --no-tests=error \
          --output-junit "$here/$win_dir/junit-windows.xml" --timeout 300 </dev/null
        echo $? >"$win_dir/ctest.status"
        kvlb_wine_stop
      )
      # Counted here, from the report the subshell's ctest wrote.
      win_status=$(cat "$win_dir/ctest.status" 2>/dev/null || echo 1)
      win_junit="$here/$win_dir/junit-windows.xml"
      win_p=0 win_f=0 win_s=0
      if [ -s "$win_junit" ]; then
        win_counts=$(count_junit "$win_junit")
        read -r win_p win_f win_s _ <<<"$(head -n 1 <<<"$win_counts")"
        tail -n +2 <<<"$win_counts"
        if [ "$win_status" -ne 0 ] && [ "$win_f" -eq 0 ] && [ "$win_s" -eq 0 ]; then
          errors+=("windows: ctest exit $win_status")
        fi
      else
        errors+=("windows: no test report (ctest exit $win_status)")
      fi
      # The set under Wine: one case per line of the check.
      win_log=$(mktemp)
      bash scripts/check-win-set.sh --built "$win_dir" </dev/null >"$win_log" 2>&1
      cat "$win_log"
      set_p=$(grep -c '^ok: ' "$win_log")
      set_f=$(grep -c '^FAIL: ' "$win_log")
      grep -q '^check-win-set: ' "$win_log" || { set_f=$((set_f + 1)) && echo "the set check did not finish"; }
      # The set as a whole (keeper, worker verbs, watchdog, debug mode, the monitor's windows).
      bash scripts/check-win-whole.sh --built "$win_dir" </dev/null >"$win_log" 2>&1
      cat "$win_log"
      whole_p=$(grep -c '^ok: ' "$win_log")
      whole_f=$(grep -c '^FAIL: ' "$win_log")
      grep -q '^check-win-whole: ' "$win_log" || { whole_f=$((whole_f + 1)) && echo "the whole-set check did not finish"; }
      # The set under load and faults (session churn, memory, idle connections, oversized bodies, a
      # killed service), loaded by the Linux build's programs.
      bash scripts/check-win-load.sh --built "$win_dir" </dev/null >"$win_log" 2>&1
      cat "$win_log"
      load_p=$(grep -c '^ok: ' "$win_log")
      load_f=$(grep -c '^FAIL: ' "$win_log")
      grep -q '^check-win-load: ' "$win_log" || { load_f=$((load_f + 1)) && echo "the load check did not finish"; }
      rm -f "$win_log"
      stage_done windows $((win_p + set_p + whole_p + load_p)) $((win_f + set_f + whole_f + load_f)) "$win_s" \
        "set under Wine: $set_p passed, $set_f failed; whole set: $whole_p passed, $whole_f failed; under load: $load_p passed, $load_f failed"
    fi
  else
    stage_error windows "build failed"
  fi
fi

echo "== all done in $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s"
printf '%s\n' "${summary[@]}"
for e in "${errors[@]}"; do echo "error: $e"; done
echo "$total_passed passed, $total_failed failed, $total_skipped skipped"
[ "$total_failed" -eq 0 ] && [ "$total_skipped" -eq 0 ] && [ ${#errors[@]} -eq 0 ]
