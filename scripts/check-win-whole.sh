#!/usr/bin/env bash
# Checks the whole set under Wine, in a prefix of its own, case by case, as its user and its other
# programs steer it: debug mode switched on and off by its keys, typed into the first About boxes
# of the run through the x11vnc and viewer commands that scripts/run.sh prints, the viewer on a
# display of its own (as a person without a display does); the monitor's keeper relaunching a service that
# was killed; the worker's -stop, -start, -restart, -allstop and -reset, each leaving the programs
# and the port as they should be; the watchdog restoring the set after the monitor was killed; the debug-mode switch
# reaching the service and the watchdog through the event (their "Log state: " records in the log
# that the ini names); and the monitor's tray window, icons, popup menu and About box, opened
# through the monitor's own messages and read back by monitor_window_probe.exe, which also writes
# a screenshot of the open menu to <build>/monitor-menu.png for a person to look at.
# Each case waits, within a bound, for the state the programs promise; where nothing else shows a
# state (the keeper back in its wait phase, the service's and the watchdog's watchers of the
# debug-mode event waiting), Wine's trace of the programs' calls of Sleep in
# <build>/wine-whole/monitor.log shows it.
# Each case prints "ok: ..." or "FAIL: ...", the last line is "check-win-whole: N passed, M failed",
# and the exit status is non-zero when a case failed.
#
#   scripts/check-win-whole.sh [--built] [build folder]     (default: build-win)
#
# --built checks the set already in the build folder (the test command's) without building it.
# Run it in a network namespace of its own: the set listens on fixed ports.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/win-check-cases.sh
. "$here/scripts/win-check-cases.sh" "$@"

silent() { ! listening; }

# procs <image>: "pid arguments" of each process of this prefix running that program, from the
# Windows command line that Wine shows as the process's own. Other prefixes on the machine are
# told apart by their environment.
procs() {
  local e d cmd image args
  grep -lzxF "WINEPREFIX=$WINEPREFIX" /proc/[0-9]*/environ 2>/dev/null | while IFS= read -r e; do
    d=${e%/environ}
    cmd=$(tr '\0' ' ' 2>/dev/null <"$d/cmdline") || continue
    [[ ${cmd,,} == *.exe* ]] || continue
    image=${cmd%%.[eE][xX][eE]*}.exe
    image=${image##*[\\/]}
    image=${image#\"}
    [ "${image,,}" = "${1,,}" ] || continue
    args=${cmd#*.[eE][xX][eE]}
    args=${args#\"}
    args=$(xargs <<<"$args" 2>/dev/null)
    echo "${d#/proc/} $args"
  done
}
monitors() { procs KVLBTessarionMonitor.exe; }
services() { procs KVLBTessarionMain.exe; }
watchdogs() { procs KVLBTessarionWorker.exe | grep -i -- ' -watchdog$'; }
count() { "$@" | grep -c .; }
# The set as a line for the reports.
state() {
  echo "monitor: [$(monitors | paste -sd,)] service: [$(services | paste -sd,)]" \
    "watchdog: [$(watchdogs | paste -sd,)] port $port $(listening && echo answers || echo closed)" \
    "(listening: $(ss -ltnH | awk '{print $4}' | paste -sd' '))"
}
# whole: one monitor, one service that listens, one watchdog.
whole() { listening && [ "$(count monitors)" = 1 ] && [ "$(count services)" = 1 ] && [ "$(count watchdogs)" = 1 ]; }
# none: no program of the set is left, the port is closed.
none() { silent && [ "$(count monitors)" = 0 ] && [ "$(count services)" = 0 ] && [ "$(count watchdogs)" = 0 ]; }

wine_kill() { timeout 30 wine taskkill /F /IM "$1" >/dev/null 2>&1 </dev/null; }

# probe <what> [options]: the window program's cases become this check's cases.
probe_out=$build/wine-whole/probe.out
probe() {
  local what=$1 rc line
  shift
  timeout 120 wine "$build/wine-tools/monitor_window_probe.exe" "$@" >"$probe_out" 2>&1 </dev/null
  rc=$?
  while IFS= read -r line; do
    line=${line%$'\r'}
    case $line in
    ok:\ *) ok "$what: ${line#ok: }" ;;
    FAIL:\ *) fail "$what: ${line#FAIL: }" ;;
    esac
  done <"$probe_out"
  if [ "$rc" -ne 0 ] && ! grep -q '^FAIL: ' "$probe_out"; then
    fail "$what: the window program ended with $rc: $(tail -n 3 "$probe_out" | tr '\n' ' ')"
  fi
}

wine_prefix "$build/wine-whole"
dest=$(kvlb_wine_install_set "$build") || {
  fail "the set could not be installed into $build/wine-whole"
  dest=
  exit 1
}

# The user's folders of a new prefix lead to this machine's home folder; the desktop, where debug
# mode logs, becomes a folder of the prefix's own. Debug mode, the monitor's settings and the
# components of an earlier run are cleared.
user_dir=$(find "$WINEPREFIX/drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | head -n 1)
[ -L "$user_dir/Desktop" ] && rm -f "$user_dir/Desktop"
mkdir -p "$user_dir/Desktop"
rm -rf "$user_dir/Desktop/TessarionLog" "$WINEPREFIX/drive_c/ProgramData/KVLBTessarionMain"
find "$user_dir" -name KVLBTessarion.ini -delete
log_dir=$user_dir/Desktop/TessarionLog

# Wine traces every call of Sleep by the monitor and by the programs it launches into the monitor's
# log, each line led by the Wine process and thread ids ("0184:0198:Call KERNEL32.Sleep(000001f4)
# ret=..."): the keeper and the service show how far they are only through their pauses.
wine reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /d kernel32.Sleep /f >/dev/null 2>&1 </dev/null
monitor_log=$build/wine-whole/monitor.log
(cd "$dest" && WINEDEBUG=+pid,+relay setsid wine KVLBTessarionMonitor.exe >"$monitor_log" 2>&1 </dev/null &)
if until_ 90 whole && [ "$(services | cut -d' ' -f2-)" = 0 ]; then
  ok "the monitor launched the service (attempt 0), which listens, and its watchdog"
else
  fail "the monitor did not bring the set up: $(state)"
  exit 1
fi

# The monitor's Wine process id: its trace comes first in its log.
monitor_wid=$(grep -m 1 -aoE '^[0-9a-f]+:[0-9a-f]+:' "$monitor_log" | cut -d: -f1)
# mark: the number of the log's next line, from which traced_pause looks.
mark() { echo $(($(wc -l <"$monitor_log") + 1)); }
# traced_pause <line> <monitor|other> <ms> [last]: after that line of the log, one thread of the
# monitor (or of a program other than the monitor; with "last", the one that paused 500 ms last)
# slept 500 ms and then the given time. In the monitor only the keeper pauses 500 ms, after each
# end of the service; when it then sleeps in 100 ms steps it is back in its wait phase (stopped,
# or held by a restart) instead of launching the next attempt. The service's main thread pauses 500 ms while its receivers start and tests its stop
# flag every 100 ms once its daemons and its watcher of the debug-mode event run; the watchdog's
# pauses 500 ms likewise and then tests the monitor's mutex every 1000 ms, its watcher started.
traced_pause() {
  local then
  printf -v then '%08x' "$3"
  awk -F: -v from="$1" -v wid="$monitor_wid" -v whose="$2" -v then="Call KERNEL32.Sleep($then)" -v last="${4:-}" '
    NR < from || (whose == "monitor") != ($1 == wid) { next }
    index($3, "Call KERNEL32.Sleep(000001f4)") == 1 {
      if (last != "") { delete paused; found = 0 }
      paused[$1 ":" $2] = 1
      next
    }
    index($3, then) == 1 && (($1 ":" $2) in paused) { found = 1; if (last == "") exit }
    END { exit !found }' "$monitor_log" 2>/dev/null
}
keeper_waits() { traced_pause "$1" monitor 100; }
# settled <line> <line>: an instruction also reaches the monitor by lock mode, while the worker
# holds the instruction's mutex, and the monitor's lock receivers act on it once more. They are
# the monitor's threads that poll every 50 ms and never pause 200 ms (the watcher of key
# sequences polls every 50 ms too, but only while an About box is open, and 200 ms otherwise).
# Each one that polled between the two lines of the log (from before the worker started to after
# it ended) has polled again since: whatever the instruction made it do is done.
settled() {
  awk -F: -v from="$1" -v to="$2" -v wid="$monitor_wid" '
    $1 != wid { next }
    index($3, "Call KERNEL32.Sleep(000000c8)") == 1 { other[$2] = 1; next }
    NR < from || index($3, "Call KERNEL32.Sleep(00000032)") != 1 { next }
    NR < to { before[$2] = 1; next }
    { after[$2] = 1 }
    END {
      n = 0
      for (t in before) if (!(t in other)) { n++; if (!(t in after)) exit 1 }
      exit (n == 0)
    }' "$monitor_log" 2>/dev/null
}
# verb <argument>: the worker's verb to the running monitor, acted on by both receivers.
verb() {
  local sent_at done_at
  sent_at=$(mark)
  worker "$1"
  done_at=$(mark)
  until_ 15 settled "$sent_at" "$done_at" || fail "$1: the monitor's lock receivers did not poll again"
}
[ -n "$monitor_wid" ] || fail "no trace of the monitor's pauses in $monitor_log: $(head -c 300 "$monitor_log")"

# logged <tag> <state>: the log holds a record of that program's tag with that log state; the
# writer adds the date to the file's name.
# (Counted, not grep -q: under pipefail a reader that stops early fails the writer before it.)
logged() { [ "$(cat "$log_dir"/*.txt 2>/dev/null | grep -a "$1" | grep -ac "Log state: $2")" -gt 0 ]; }
log_states() { cat "$log_dir"/*.txt 2>/dev/null | grep -a 'Log state' | tr '\n' '|'; }
# The service starts its watcher of the event only after all its daemons, a while after its first
# port answers, and then tests its stop flag every 100 ms; a pulse before that goes unseen, as
# pulses do.
watchers_run() { traced_pause "$1" other 100 last && traced_pause 1 other 1000; }
both_on() { logged '\[KVLBTessarion\]' Enable && logged TessarionWorker- Enable; }
both_off() { logged '\[KVLBTessarion\]' Disable && logged TessarionWorker- Disable; }
# After a pulse a watcher pauses 100 ms before it waits for the next one (its only pause): the
# thread that wrote the program's "Log state: Enable" record has to be back from it. The record
# names the Windows process and thread in decimal, the trace in hexadecimal.
watching_again() {
  local ids thread
  ids=$(cat "$log_dir"/*.txt 2>/dev/null | grep -a "$1" | grep -a 'Log state: Enable' | tail -n 1 |
    grep -aoE '\[[0-9]+-[0-9]+\]' | head -n 1 | tr -d '[]')
  [ -n "$ids" ] || return 1
  printf -v thread '%04x:%04x:' "$((10#${ids%-*}))" "$((10#${ids#*-}))"
  grep -aq "^${thread}Ret  KERNEL32.Sleep() " "$monitor_log"
}
both_watching() { watching_again '\[KVLBTessarion\]' && watching_again TessarionWorker-; }

# The road of a person without a display of their own: the x11vnc command that scripts/run.sh
# prints serves the set's display, the viewer command it prints shows it on a display of its own
# (with no window manager, where a viewer in a window would never get the keyboard), and there the
# person double-clicks the tray icon, clicks the About box's text and types K V L B D M, each key
# held and let go as a person does. The first About box of the run switches debug mode on at the
# first try; typed once more into the next About box, the keys switch it off again.
viewer_dir=$build/wine-whole/viewer
viewer_pids=()
# x11vnc can hang in its own handler of SIGTERM: whatever has not ended a while after the TERM is
# killed outright, so the check goes on to its own end.
ended() { [ ! -d "/proc/$1" ] || [ "$(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null)" = Z ]; }
stop_viewer() {
  local p
  for p in "${viewer_pids[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${viewer_pids[@]}"; do
    until_ 10 ended "$p" || kill -KILL "$p" 2>/dev/null
    wait "$p" 2>/dev/null
  done
  viewer_pids=()
}
trap 'stop_viewer; finish' EXIT
rm -rf "$viewer_dir"
mkdir -p "$viewer_dir"
vx() { DISPLAY=$viewer_display xdotool "$@"; }
# window <display> <title> [--onlyvisible]: the first window of that title on the display.
window() { DISPLAY=$1 xdotool search ${3:+"$3"} --name "$2" 2>/dev/null | head -n 1; }
# geometry <display> <window>: sets X, Y, WIDTH and HEIGHT.
geometry() { eval "$(DISPLAY=$1 xdotool getwindowgeometry --shell "$2")"; }
viewer_ready() {
  grep -q '^PORT=' "$viewer_dir/x11vnc.log" 2>/dev/null
}
# The keys as a person types them: each held 130 ms, 150 ms between them.
type_sequence() {
  local k
  for k in k v l b d m; do
    vx keydown $k
    sleep 0.13
    vx keyup $k
    sleep 0.15
  done
}
# about_by_viewer: through the viewer, a double click on the set's tray icon (the first one in
# Wine's tray window) opens the About box, and a click on its text puts the pointer there.
about_box=
about_by_viewer() {
  local tray
  tray=$(window "$DISPLAY" "Wine System Tray")
  [ -n "$tray" ] || { fail "the viewer road: no tray window on the set's display" && return 1; }
  geometry "$DISPLAY" "$tray"
  vx mousemove $((X + 10)) $((Y + 10)) click --repeat 2 --delay 80 1
  about_open() { about_box=$(window "$DISPLAY" "KVLBTessarion Monitor" --onlyvisible) && [ -n "$about_box" ]; }
  until_ 15 about_open || { fail "the viewer road: a double click on the tray icon opened no About box" && return 1; }
  geometry "$DISPLAY" "$about_box"
  vx mousemove $((X + 60)) $((Y + 30)) mousedown 1
  sleep 0.1
  vx mouseup 1
}
about_closed() { [ -z "$(window "$DISPLAY" "KVLBTessarion Monitor" --onlyvisible)" ]; }
monitor_logged() { [ "$(cat "$log_dir"/*.txt 2>/dev/null | grep -a 'TessarionMonitor-' | grep -ac "Log state: $1")" -gt 0 ]; }
ini_there() { [ -n "$(find "$user_dir" -name KVLBTessarion.ini 2>/dev/null)" ]; }
switched_on() { ini_there && monitor_logged Enable; }
switched_off() { ! ini_there && monitor_logged Disable; }
viewer_road() {
  local vnc view
  # As large as the set's display: the viewer in full screen shows it at its own coordinates.
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$viewer_dir/display" >"$viewer_dir/xvfb.log" 2>&1 &
  viewer_pids+=($!)
  until_ 10 test -s "$viewer_dir/display" || { fail "the viewer road: no display for the viewer" && return 1; }
  viewer_display=:$(head -n 1 "$viewer_dir/display")
  read -ra vnc <<<"$(bash "$here/scripts/run.sh" --x11vnc-command "$DISPLAY")"
  "${vnc[@]}" >"$viewer_dir/x11vnc.log" 2>&1 </dev/null &
  viewer_pids+=($!)
  until_ 30 viewer_ready || { fail "the viewer road: '${vnc[*]}' serves no port: $(tail -n 3 "$viewer_dir/x11vnc.log")" && return 1; }
  read -ra view <<<"$(bash "$here/scripts/run.sh" --viewer-command "localhost::$(sed -n 's/^PORT=//p' "$viewer_dir/x11vnc.log")")"
  DISPLAY=$viewer_display "${view[@]}" >"$viewer_dir/vncviewer.log" 2>&1 </dev/null &
  viewer_pids+=($!)
  shown() { grep -q 'Got connection' "$viewer_dir/x11vnc.log" && grep -q 'Using pixel format' "$viewer_dir/vncviewer.log"; }
  until_ 30 shown || { fail "the viewer road: '${view[*]}' does not show the set: $(tail -n 2 "$viewer_dir/vncviewer.log")" && return 1; }
  about_by_viewer || return 1
  type_sequence
  if until_ 15 switched_on; then
    ok "through '${vnc[*]}' and '${view[*]}', K V L B D M typed into the first About box switch debug mode on"
  else
    xwd -root -silent >"$viewer_dir/set.xwd" 2>/dev/null
    fail "through '${vnc[*]}' and '${view[*]}', the keys typed into the first About box did not switch debug mode on (screen in $viewer_dir/set.xwd)"
    # The cases below open About boxes of their own.
    vx key Escape
    until_ 5 about_closed || fail "the viewer road: Escape did not close the About box"
    return 1
  fi
  if until_ 15 both_on && until_ 15 both_watching; then
    ok "debug mode switched on through the viewer turns the service's and the watchdog's logging on"
  else
    fail "after debug mode on through the viewer, the log holds: $(log_states)"
  fi
  # Switching debug mode on closes the About box; the next one is a box of its own.
  until_ 15 about_closed || { fail "the viewer road: switching debug mode on left the About box open" && return 1; }
  about_by_viewer || return 1
  type_sequence
  if until_ 15 switched_off && until_ 15 both_off; then
    ok "the keys typed through the viewer into the next About box switch debug mode off again"
  else
    fail "the keys typed through the viewer into the next About box: ini $(ini_there && echo kept || echo gone), log states: $(log_states)"
  fi
}
# The first service's and the watchdog's watchers of the event run (as watchers_run after -restart).
first_watchers_run() { traced_pause 1 other 100 && traced_pause 1 other 1000; }
if until_ 60 first_watchers_run; then
  viewer_road
else
  fail "the service or the watchdog does not reach its main loop: $(state)"
fi
stop_viewer
# The cases below read debug mode's records afresh.
rm -rf "$log_dir"

# The monitor's windows, read from outside.
probe "monitor windows" --shot "Z:$build/monitor-menu.png"


# The keeper: a service killed from outside is launched again as the next attempt.
before=$(services | cut -d' ' -f1)
wine_kill KVLBTessarionMain.exe
relaunched() { [ "$(services | cut -d' ' -f2-)" = 1 ] && listening; }
if until_ 30 relaunched && [ "$(services | cut -d' ' -f1)" != "$before" ]; then
  ok "the keeper launched the killed service again as attempt 1, which listens"
else
  fail "the keeper did not relaunch the killed service: $(state)"
fi

# The worker's control verbs, with the monitor running.
monitor=$(monitors | cut -d' ' -f1)
stopped() { silent && [ "$(count services)" = 0 ]; }
from=$(mark)
verb -stop
if until_ 15 stopped && [ "$(monitors | cut -d' ' -f1)" = "$monitor" ] && [ "$(count watchdogs)" = 1 ]; then
  ok "-stop ends the service and leaves the monitor and the watchdog"
else
  fail "-stop: $(state)"
fi
# After the end the keeper shows the stopped icon, pauses 100 + 500 ms and only then reads the
# state the user asked for: a Start before that goes on to the next launch attempt. The checks
# below wait until it is back in its wait phase.
if until_ 15 keeper_waits "$from"; then
  ok "after -stop the keeper goes back to waiting for a start instead of a next launch"
else
  fail "after -stop the keeper did not go back to waiting: $(state)"
fi
# The menu offers Start while the service is stopped.
probe "monitor windows, service stopped" --stopped

verb -start
if until_ 30 whole && [ "$(services | cut -d' ' -f2-)" = 0 ] && [ "$(monitors | cut -d' ' -f1)" = "$monitor" ]; then
  ok "-start has the running monitor launch the service again (attempt 0)"
else
  fail "-start with the monitor running: $(state)"
fi

before=$(services | cut -d' ' -f1)
from=$(mark)
verb -restart
renewed() { whole && [ "$(services | cut -d' ' -f1)" != "$before" ]; }
if until_ 30 renewed && [ "$(services | cut -d' ' -f2-)" = 0 ] && [ "$(monitors | cut -d' ' -f1)" = "$monitor" ]; then
  ok "-restart replaces the service (attempt 0) and keeps the monitor"
else
  fail "-restart: $(state)"
fi

# Debug mode: the monitor writes the log ini and pulses the event; the service and the watchdog
# turn their logging on (their "Log state: Enable" records in the file the ini names), and off
# again when the menu's "Turn off debug mode" deletes the ini and pulses once more.
if ! until_ 60 watchers_run "$from"; then
  fail "the service launched by -restart or the watchdog does not reach its main loop: $(state)"
fi
probe "debug mode on" --debug-on
# The About box closes before the monitor writes the ini.
ini=
want_ini=$'[KVLBTessarion]\r\nLog File=C:\\users\\'"${user_dir##*/}"$'\\Desktop\\TessarionLog\\KVLBTessarion.txt\r\nLog Level=5'
ini_written() {
  ini=$(find "$user_dir" -name KVLBTessarion.ini 2>/dev/null | head -n 1)
  [ -n "$ini" ] && [ "$(cat "$ini")" = "$want_ini" ]
}
if until_ 15 ini_written; then
  ok "debug mode writes the log ini into the temp folder, naming the desktop's TessarionLog folder"
else
  fail "debug mode's log ini: '${ini:-none}' holds '$(tr '\r\n' '^|' <"$ini" 2>/dev/null)'"
fi
if until_ 15 both_on; then
  ok "the event turns the logging of the service and of the watchdog on, into the ini's log file"
else
  fail "after debug mode on, the log holds: $(log_states)"
fi
until_ 15 both_watching || fail "the watchers are not back from their pause after the pulse: $(log_states)"
probe "monitor windows, debug mode" --debug
if until_ 15 both_off && [ -z "$(find "$user_dir" -name KVLBTessarion.ini)" ]; then
  ok "the menu's \"Turn off debug mode\" deletes the ini and turns the service's and the watchdog's logging off"
else
  fail "after debug mode off: ini '$(find "$user_dir" -name KVLBTessarion.ini)', log states: $(log_states)"
fi

worker -allstop
if until_ 15 none; then
  ok "-allstop ends the watchdog, the monitor and the service"
else
  fail "-allstop: $(state)"
fi

worker -start
if until_ 60 whole; then
  ok "-start with no monitor running starts the monitor, which brings up the service and a watchdog"
else
  fail "-start without a monitor: $(state)"
fi

monitor=$(monitors | cut -d' ' -f1) watchdog=$(watchdogs | cut -d' ' -f1)
worker -reset
reset_done() {
  whole && [ "$(monitors | cut -d' ' -f1)" != "$monitor" ] && [ "$(watchdogs | cut -d' ' -f1)" != "$watchdog" ]
}
if until_ 60 reset_done; then
  ok "-reset replaces the monitor and the watchdog, and the service listens again"
else
  fail "-reset: $(state)"
fi

# The watchdog: a monitor killed from outside leaves its mutex; the watchdog sees it free and
# resets the set.
monitor=$(monitors | cut -d' ' -f1) service=$(services | cut -d' ' -f1)
wine_kill KVLBTessarionMonitor.exe
restored() {
  whole && [ "$(monitors | cut -d' ' -f1)" != "$monitor" ] && [ "$(services | cut -d' ' -f1)" != "$service" ]
}
if until_ 60 restored; then
  ok "the watchdog restores the set after the monitor was killed: a new monitor, service and watchdog"
else
  fail "after the monitor was killed: $(state)"
fi
