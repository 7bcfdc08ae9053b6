# Sourced by the Windows build's scripts: a 32-bit Wine prefix of the set's own (never the
# user's ~/.wine), and an Xvfb display for it when none is set (without one Wine creates no window).
#
#   . scripts/wine-env.sh
#   kvlb_wine_start <folder>          prefix in <folder>/prefix, made when missing; exports the
#                                     WINE* variables (and DISPLAY when Xvfb was started)
#   kvlb_wine_install_netstat <exe>   our netstat.exe in the prefix's system32, ahead of Wine's
#   kvlb_wine_ready <folder> <exe>    kvlb_wine_start, the prefix's background programs started
#                                     apart from the caller's output, and the netstat.exe installed
#   kvlb_wine_install_set <build>     the set into C:\Program Files\KVLBTessarion of the prefix, as the
#                                     installer leaves it, each file's .debug beside it, the stand-in
#                                     component registered; prints the folder
#   kvlb_wine_stop                    ends the prefix's wineserver and the Xvfb started here
#   kvlb_wine_runs_here               whether this machine can run Wine's 32-bit programs at all;
#                                     when not, says why on standard error
#
# With kvlb_wine_apart=1 set before kvlb_wine_start, the Xvfb, the wineserver and the prefix's
# background programs run in sessions of their own: a Ctrl-C in the caller's terminal then reaches
# the caller alone, which stops the set first and the display last (scripts/run.sh).
#
# The wineserver is kept running between programs (a cold one costs seconds per start).

kvlb_wine_xvfb_pid=""

kvlb_wine_runs_here() {
  # Wine starts every 32-bit program through the machine's i386 loader. The kernels of some
  # virtual machines execute no 32-bit program at all ("Exec format error"): no Wine runs there.
  local out
  out=$(/lib/ld-linux.so.2 --version 2>&1 </dev/null) && return 0
  echo "this machine's kernel runs no 32-bit program, so no Wine runs here (/lib/ld-linux.so.2: ${out##*: })" >&2
  return 1
}

kvlb_wine_start() {
  local folder=${1:?kvlb_wine_start needs a folder}
  kvlb_wine_runs_here || return 1
  mkdir -p "$folder" || return 1
  export WINEPREFIX
  WINEPREFIX=$(cd "$folder" && pwd)/prefix
  export WINEARCH=win32
  export WINEDEBUG=-all
  # No prompts to install Mono or Gecko, which the set does not use.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  if [ -z "${DISPLAY:-}" ]; then
    # -displayfd picks a free display number and writes it once the server is ready.
    local dfile="$folder/.xvfb-display"
    rm -f "$dfile"
    ${kvlb_wine_apart:+setsid} Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$dfile" >"$folder/xvfb.log" 2>&1 &
    kvlb_wine_xvfb_pid=$!
    local n=0
    while [ ! -s "$dfile" ] && [ $n -lt 100 ]; do
      kill -0 "$kvlb_wine_xvfb_pid" 2>/dev/null || break
      sleep 0.1
      n=$((n + 1))
    done
    if [ ! -s "$dfile" ]; then
      echo "wine-env: Xvfb did not start (see $folder/xvfb.log)" >&2
      kill "$kvlb_wine_xvfb_pid" 2>/dev/null
      kvlb_wine_xvfb_pid=""
      return 1
    fi
    DISPLAY=":$(head -1 "$dfile")"
    export DISPLAY
    rm -f "$dfile"
  fi
  mkdir -p "$WINEPREFIX" || return 1
  # A persistent server, started before anything else of the prefix runs (it cannot be made
  # persistent afterwards); when one already runs for the prefix, that one serves.
  ${kvlb_wine_apart:+setsid -w} wineserver -p 2>/dev/null || true
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    ${kvlb_wine_apart:+setsid -w} wineboot -i >"$folder/wineboot.log" 2>&1 || {
      echo "wine-env: wineboot failed (see $folder/wineboot.log)" >&2
      return 1
    }
  fi
  return 0
}

kvlb_wine_install_netstat() {
  local exe=${1:?kvlb_wine_install_netstat needs the netstat.exe}
  cp "$exe" "$WINEPREFIX/drive_c/windows/system32/netstat.exe" || return 1
  # Wine would still run its own built-in netstat in place of the file without this.
  wine reg add 'HKCU\Software\Wine\DllOverrides' /v netstat.exe /d native /f >/dev/null
}

kvlb_wine_ready() {
  kvlb_wine_runs_here || return 1
  # The prefix's first programs start Wine's background ones, which keep whatever output and input
  # they were given: never a pipe of the caller's, which would then never end.
  kvlb_wine_start "${1:?kvlb_wine_ready needs a folder}" >/dev/null 2>&1 </dev/null || return 1
  ${kvlb_wine_apart:+setsid -w} wine cmd /c exit 0 >/dev/null 2>&1 </dev/null
  kvlb_wine_install_netstat "${2:?kvlb_wine_ready needs the netstat.exe}" >/dev/null 2>&1 </dev/null
}

kvlb_wine_install_set() {
  local build=${1:?kvlb_wine_install_set needs the Windows build folder}
  local dest="$WINEPREFIX/drive_c/Program Files/KVLBTessarion" p
  rm -rf "$dest"
  mkdir -p "$dest/KVLB" "$dest/Component" || return 1
  # Each file with its debug file (the build strips them), so a crash of the set can be read here.
  for p in KVLBTessarionMain KVLBTessarionMonitor KVLBTessarionWorker; do
    cp "$build/bin/$p.exe" "$build/bin/$p.debug" "$dest/" || return 1
  done
  cp "$build/bin/KVLB/KvlbTokenAdapter.dll" "$build/bin/KVLB/KvlbTokenAdapter.debug" "$dest/KVLB/" &&
    cp "$build/bin/Component/SigningComponent.dll" "$build/bin/Component/SigningComponent.debug" \
      "$dest/Component/" || return 1
  (cd "$dest/Component" && timeout 60 wine regsvr32 /s SigningComponent.dll >/dev/null 2>&1 </dev/null) || return 1
  echo "$dest"
}

kvlb_wine_stop() {
  if [ -n "${WINEPREFIX:-}" ]; then
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
  fi
  if [ -n "$kvlb_wine_xvfb_pid" ]; then
    kill "$kvlb_wine_xvfb_pid" 2>/dev/null
    wait "$kvlb_wine_xvfb_pid" 2>/dev/null
    kvlb_wine_xvfb_pid=""
    unset DISPLAY
  fi
  return 0
}
