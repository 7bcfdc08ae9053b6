#!/usr/bin/env bash
# Checks the installed Windows set under load and faults, under Wine, in a prefix of its own, case
# by case: 1,100 session openings and releases through one service process leave it the same
# process with a flat handle count and memory, and new connections are served after them; 32 open
# sessions keep the service's private bytes under 48 MB; 1,100 idle connections over the three
# ports leave an echo answered on every port within 1 s; a body past the 16 MiB limit, with a
# Content-Length or in chunks, is cut off without a reply and the service goes on; a service
# killed in the middle of the load is relaunched by the monitor's keeper, serves, and has cleared
# the adapter copies the killed one left in its session folders.
# The service's handle count and memory are read through the Windows API by process_probe.exe of
# the Windows build; the load comes from the Linux build's kvlb_set_load_check (built when
# missing) and kvlb_idle_flood, in KVLB_LINUX_BUILD (default build).
# Each case prints "ok: ..." or "FAIL: ...", the last line is "check-win-load: N passed, M failed",
# and the exit status is non-zero when a case failed.
#
#   scripts/check-win-load.sh [--built] [build folder]     (default: build-win)
#
# --built checks the set already in the build folder (the test command's) without building it.
# Run it in a network namespace of its own: the set listens on fixed ports.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/win-check-cases.sh
. "$here/scripts/win-check-cases.sh" "$@"

ports="56462 56562 56662"
cert=$build/certs/kvlb_ec_cert.pem
probe_exe=$build/wine-tools/process_probe.exe
linux_build=${KVLB_LINUX_BUILD:-$here/build}
load_tool=$linux_build/tests/kvlb_set_load_check
flood_tool=$linux_build/bench/kvlb_idle_flood
work=$build/wine-load

# Bounds of the flat handle count and memory over the cycles after the first hundred.
handle_slack=16
memory_slack=$((4 << 20))
# The service's private bytes with 32 sessions open.
memory_limit=$((48 << 20))

all_listening() {
  local p open
  open=$(ss -ltnH)
  for p in $ports; do grep -q "127.0.0.1:$p " <<<"$open" || return 1; done
}
# measure: "<Windows process id> <handles> <private bytes> <working set bytes>" of the running
# service, read through the Windows API by process_probe.exe; nothing when no single service runs.
# Wine 8 answers 0 for GetProcessHandleCount and for PrivateUsage: the handles are then the entries
# the system's handle table lists for the process, and the private bytes the PagefileUsage (the
# commit charge, which Windows documents as the same figure as PrivateUsage).
measure() {
  local out
  out=$(timeout 60 wine "$probe_exe" --image KVLBTessarionMain.exe 2>/dev/null </dev/null | tr -d '\r' | grep '^pid=')
  [ "$(grep -c . <<<"$out")" = 1 ] || return 1
  # A reading that is still not above 0 fails the measurement (a flat 0 would pass any bound).
  awk '{
    for (i = 1; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
    h = v["handles"] > 0 ? v["handles"] : v["entries"]
    p = v["private"] > 0 ? v["private"] : v["pagefile"]
    if (h <= 0 || p <= 0 || v["workingset"] <= 0) exit 1
    print v["pid"], h, p, v["workingset"]
  }' <<<"$out"
}
service_pid() { measure | cut -d' ' -f1; }
# serving: one service runs and every port listens.
serving() { all_listening && [ -n "$(service_pid)" ]; }
# first_listening: the first of the set's ports that listens, nothing when none does.
first_listening() {
  local p open
  open=$(ss -ltnH)
  for p in $ports; do grep -q "127.0.0.1:$p " <<<"$open" && { echo "$p"; return 0; }; done
  return 1
}
mib() { awk -v b="$1" 'BEGIN { printf "%.1f MiB", b / 1048576 }'; }
# load <mode> <arguments...>: the load program against the first port, its lines shown.
load() {
  local mode=$1
  shift
  timeout 600 "$load_tool" "$mode" "$port" "$cert" "$@" </dev/null
}
# copies: the adapter library copies in the service's session folders.
copies() { find "$data/Tempfile" -path '*/Session_*' -iname '*.dll' 2>/dev/null | grep -c .; }

# The load programs are the Linux build's; built there when missing.
if [ ! -x "$load_tool" ] || [ ! -x "$flood_tool" ]; then
  { [ -f "$linux_build/CMakeCache.txt" ] ||
    cmake -S "$here" -B "$linux_build" -G Ninja -DKVLB_WERROR=ON >/dev/null; } &&
    cmake --build "$linux_build" --target kvlb_set_load_check kvlb_idle_flood >/dev/null
fi
if [ ! -x "$load_tool" ] || [ ! -x "$flood_tool" ] || [ ! -f "$probe_exe" ]; then
  fail "no load programs at $load_tool and $flood_tool or no process probe at $probe_exe"
  tally
  exit 1
fi

wine_prefix "$work"
dest=$(kvlb_wine_install_set "$build") || {
  fail "the set could not be installed into $work"
  dest=
  exit 1
}
# The service's data folder (its session folders under Tempfile), cleared of an earlier run.
data=$WINEPREFIX/drive_c/ProgramData/KVLBTessarionMain
rm -rf "$data"

(cd "$dest" && setsid wine KVLBTessarionMonitor.exe >"$work/monitor.log" 2>&1 </dev/null &)
if ! until_ 90 serving; then
  fail "the monitor's service does not listen on $ports"
  exit 1
fi

# 1. Openings and releases through one process: the same process at the end, its handle count and
# memory flat after the first hundred cycles (the warm-up of its heaps and TLS caches), new
# connections served after them, and no library copy left in the session folders.
read -r pid0 h0 p0 w0 <<<"$(measure)"
log=$(load cycles 100)
status=$?
read -r pid1 h1 p1 w1 <<<"$(measure)"
if [ "$status" -eq 0 ]; then
  log+=$'\n'$(load cycles 1000)
  status=$?
fi
read -r pid2 h2 p2 w2 <<<"$(measure)"
if [ "$status" -eq 0 ]; then
  log+=$'\n'$(load connections 16)
  status=$?
fi
pid3=$(service_pid)
# Every release deleted its session's library copy.
left=$(copies)
printf '%s\n' "$log"
numbers="pid/handles/private/working set: at start ${pid0:--}/${h0:--}/$(mib "${p0:-0}")/$(mib "${w0:-0}"),"
numbers+=" after 100 cycles ${pid1:--}/${h1:--}/$(mib "${p1:-0}")/$(mib "${w1:-0}"),"
numbers+=" after 1,100 ${pid2:--}/${h2:--}/$(mib "${p2:-0}")/$(mib "${w2:-0}"); after the new connections: pid ${pid3:--}, $left adapter copies left"
echo "$numbers"
if [ "$status" -eq 0 ] && [ -n "$pid0" ] && [ "$pid1" = "$pid0" ] && [ "$pid2" = "$pid0" ] && [ "$pid3" = "$pid0" ] &&
  [ "$h2" -le $((h1 + handle_slack)) ] && [ "$p2" -le $((p1 + memory_slack)) ] && [ "$w2" -le $((w1 + memory_slack)) ] &&
  [ "$left" = 0 ]; then
  ok "1,100 session openings and releases through one service process (pid $pid0): handles $h1 -> $h2,\
 private $(mib "$p1") -> $(mib "$p2"), working set $(mib "$w1") -> $(mib "$w2"); 16 new connections served after, no adapter copy left"
else
  fail "1,100 session openings and releases and 16 new connections through one service process: $numbers;\
 $(tail -n 1 <<<"$log")"
fi
# A service that died above was relaunched by the keeper; the next cases start from a serving one.
until_ 60 serving || echo "no service serves after the openings and releases"

# 2. Memory with 32 open sessions, as Windows counts it: the private bytes, the memory the service
# itself holds (heaps, stacks, the pages of its 32 library copies that are its own). The working
# set, shown beside it, also counts the file pages of the system's libraries that every program
# maps and shares (under Wine some 18 MB of its own DLLs), and the system may trim it at any time.
opened=$(load open 32)
status=$?
read -r pid h p w <<<"$(measure)"
held=$(copies)
echo "32 open sessions: pid ${pid:--}, handles ${h:--}, private $(mib "${p:-0}"), working set $(mib "${w:-0}"), $held adapter copies"
if [ "$status" -eq 0 ] && [ "$(grep -c _SID <<<"$opened")" = 32 ] && [ -n "$p" ] && [ "$p" -lt "$memory_limit" ]; then
  ok "32 open sessions: the service's private bytes $(mib "$p") are under 48 MB (working set $(mib "$w"))"
else
  fail "32 open sessions: private bytes $(mib "${p:-0}") (working set $(mib "${w:-0}")), not under 48 MB;\
 $(grep -c _SID <<<"$opened") sessions opened $([ "$status" -eq 0 ] || tail -n 1 <<<"$opened")"
fi

# 3. 1,100 idle connections over the three ports, held for a second, then an opening echo on a
# new connection to each port, each answered within 1 s (bench/idle_flood.cpp; its defaults are
# those numbers).
# shellcheck disable=SC2086
flood=$(timeout 300 "$flood_tool" --cafile "$cert" $ports 2>&1 </dev/null)
status=$?
printf '%s\n' "$flood"
if [ "$status" -eq 0 ]; then
  ok "1,100 idle connections over the three ports: an opening echo answered on every port within 1 s"
else
  fail "1,100 idle connections over the three ports: kvlb_idle_flood ended with $status: $(tail -n 3 <<<"$flood" | tr '\n' ' ')"
fi
until_ 60 serving || echo "no service serves after the idle connections"

# 4. A body past the 16 MiB limit, with its length and in chunks: the connection is closed without
# a reply, and the same process answers an echo after both.
before=$(service_pid)
for how in length chunked; do
  if out=$(load oversize "$how"); then
    ok "a body past 16 MiB ($how): the service closes the connection without a reply: $out"
  else
    fail "a body past 16 MiB ($how) was not cut off without a reply: $out"
  fi
done
out=$(load connections 1)
status=$?
after=$(service_pid)
if [ "$status" -eq 0 ] && [ -n "$before" ] && [ "$after" = "$before" ]; then
  ok "after the oversized bodies the same service (pid $before) answers an opening echo"
else
  fail "after the oversized bodies: service pid ${before:--} then ${after:--}: $out"
fi
until_ 60 serving || echo "no service serves after the oversized bodies"

# 5. The service killed in the middle of the load: the keeper launches it again, the new one has
# emptied the session folders (the killed one's adapter copies are gone) and serves.
held=$(copies)
before=$(service_pid)
churn_log=$work/churn.log
: >"$churn_log"
timeout 120 "$load_tool" churn "$port" "$cert" 4 60 >"$churn_log" 2>&1 </dev/null &
churn=$!
running() { grep -q '^churn: running' "$churn_log"; }
if until_ 30 running; then
  timeout 30 wine taskkill /F /IM KVLBTessarionMain.exe >/dev/null 2>&1 </dev/null
  # The relaunched service skips a port that its port check still finds in use (netstat lists a
  # connection of the killed one that the system has not torn down yet) and serves on the others.
  relaunched() { [ -n "$(first_listening)" ] && [ -n "$(service_pid)" ] && [ "$(service_pid)" != "$before" ]; }
  until_ 60 relaunched
fi
wait "$churn"
churn_status=$?
after=$(service_pid)
left=$(find "$data/Tempfile" -path '*/Session_*' -iname '*.dll' 2>/dev/null)
folders=$(find "$data/Tempfile" -mindepth 1 -maxdepth 1 -type d -name 'Session_*' 2>/dev/null | grep -c .)
serving_port=$(first_listening)
out=$(port=${serving_port:-$port} && load connections 1)
status=$?
cat "$churn_log"
echo "killed service pid ${before:--} with $held adapter copies in its session folders; relaunched pid ${after:--}," \
  "$folders session folders, $(grep -c . <<<"$left") copies left"
if [ "$held" -gt 0 ] && [ "$churn_status" -eq 0 ] && [ -n "$after" ] && [ "$after" != "$before" ] &&
  [ "$folders" = 32 ] && [ -z "$left" ] && [ "$status" -eq 0 ]; then
  ok "the service killed in the middle of the load is relaunched by the keeper (pid $before -> $after),\
 has cleared the $held adapter copies from its 32 session folders, and serves on port $serving_port"
else
  fail "the service killed in the middle of the load (churn status $churn_status): relaunched pid ${after:--},\
 $folders session folders, copies left: [$(tr '\n' ' ' <<<"$left")]; $out;\
 listening: $(ss -ltnH | awk '{print $4}' | paste -sd' '); the service's last port check read:\
 $(tr -d '\r' <"$data/Tempfile/TessarionTemp" 2>/dev/null | grep -E ':5(6462|6562|6662) ' | tr -s ' ' | paste -sd'|')"
fi
