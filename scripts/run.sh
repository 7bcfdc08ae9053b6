#!/usr/bin/env bash
# Installs what is missing, builds the set as 32-bit Windows programs and runs it under Wine: a
# prefix of the set's own (KVLB_WINE_DIR, default ~/.kvlbtessarion-wine), an Xvfb display when none
# is set (its name printed, with the command that serves it to a VNC viewer), the set installed
# into C:\Program Files\KVLBTessarion with the stand-in component registered, and the monitor
# started, which launches the service on 127.0.0.1. Ctrl-C (or a closed terminal) stops the set.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

# The commands that serve the set's display to a VNC viewer and show it there, printed below for a
# person and run by scripts/check-win-whole.sh, which types through them (`run.sh --x11vnc-command
# <display>` and `run.sh --viewer-command <address>` print them). A viewer passes keys on only while
# it has the keyboard focus. In a window, on a display with no window manager or one whose focus
# follows the pointer, TigerVNC's viewer is never given that focus, and it drops the keys typed
# into it until a click after them made it take the focus (the first round of debug mode's keys is
# lost that way, the next one arrives). In full screen it takes the keyboard at once.
x11vnc_command() { echo "x11vnc -display $1 -localhost -nopw -forever -shared"; }
viewer_command() { echo "vncviewer -FullScreen $1"; }
case "${1:-}" in
--x11vnc-command)
  x11vnc_command "${2:?--x11vnc-command needs a display}"
  exit 0
  ;;
--viewer-command)
  viewer_command "${2:?--viewer-command needs an address}"
  exit 0
  ;;
esac
bash scripts/install-deps.sh
bash scripts/install-win-deps.sh
deps=$(bash scripts/build-win-deps.sh | tail -n 1)
cmake -S . -B build-win -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVLB_TESTS=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-i686.cmake" -DKVLB_WIN_DEPS="$deps" >/dev/null
cmake --build build-win -j "$(nproc)"

# shellcheck source=scripts/wine-env.sh
. scripts/wine-env.sh
wine_dir=${KVLB_WINE_DIR:-$HOME/.kvlbtessarion-wine}
# The display, the wineserver and Wine's programs in sessions of their own: a Ctrl-C here reaches
# this script alone, which stops the set through its worker while the display still serves it, then
# the wineserver, and the display last.
kvlb_wine_apart=1
own_display=${DISPLAY:-}
kvlb_wine_ready "$wine_dir" build-win/wine-tools/netstat.exe
dest=$(kvlb_wine_install_set build-win)
# A new prefix's desktop leads to the home folder; the set's has a folder of its own, where debug
# mode's TessarionLog folder goes.
user_dir=$(find "$WINEPREFIX/drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | head -n 1)
[ -L "$user_dir/Desktop" ] && rm -f "$user_dir/Desktop"
mkdir -p "$user_dir/Desktop"

stopping=0
stop_set() {
  [ "$stopping" = 1 ] && return
  stopping=1
  # A second Ctrl-C does not cut the stop short.
  trap '' INT TERM HUP
  # A closed terminal takes no more lines: the stop goes on without them.
  say "stopping the set"
  (cd "$dest" && timeout 60 setsid -w wine KVLBTessarionWorker.exe -allstop >/dev/null 2>&1 </dev/null) || true
  kvlb_wine_stop
  say "the set has stopped"
}
say() { echo "$1" 2>/dev/null || true; }
trap 'stop_set; exit 130' INT
trap 'stop_set; exit 143' TERM
# A closed terminal reaches only this script too.
trap 'stop_set; exit 129' HUP
trap stop_set EXIT

echo "the set is installed in $dest (prefix $WINEPREFIX)"
echo "the Windows set to copy to a Windows machine: $here/build-win/bin"
echo "certificate to trust in the browser: $here/build-win/certs/kvlb_ec_cert.pem"
echo "debug log, while debug mode is on: under $user_dir/Desktop/TessarionLog"
if [ -z "$own_display" ]; then
  echo "no display was set: the set runs on $DISPLAY, an Xvfb of its own that shows nowhere; to see and"
  echo "drive it (tray icon, menus, key sequences), serve it to a VNC viewer on this machine's loopback:"
  echo "  $(x11vnc_command "$DISPLAY")"
  echo "then open localhost:5900 (or the port x11vnc prints) in a VNC viewer that takes the keyboard:"
  echo "  $(viewer_command localhost:5900)"
  echo "(F8 in it opens its menu, to leave full screen or quit);"
  echo "from another machine, through 'ssh -L 5900:localhost:5900 <this machine>' first"
fi
echo "to stop: Ctrl-C here"
cd "$dest"
setsid wine KVLBTessarionMonitor.exe </dev/null &
wait $!
