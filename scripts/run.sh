#!/usr/bin/env bash
# Installs what is missing, builds the set as 32-bit Windows programs and runs it under Wine: a
# prefix of the set's own (KVLB_WINE_DIR, default ~/.kvlbtessarion-wine), an Xvfb display when none
# is set, the set installed into C:\Program Files\KVLBTessarion with the stand-in component
# registered, and the monitor started, which launches the service on 127.0.0.1. Ctrl-C stops the set.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/install-deps.sh
bash scripts/install-win-deps.sh
deps=$(bash scripts/build-win-deps.sh | tail -n 1)
cmake -S . -B build-win -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVLB_TESTS=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-i686.cmake" -DKVLB_WIN_DEPS="$deps" >/dev/null
cmake --build build-win -j "$(nproc)"

# shellcheck source=scripts/wine-env.sh
. scripts/wine-env.sh
wine_dir=${KVLB_WINE_DIR:-$HOME/.kvlbtessarion-wine}
kvlb_wine_ready "$wine_dir" build-win/wine-tools/netstat.exe
dest=$(kvlb_wine_install_set build-win)

stop_set() {
  trap - INT TERM EXIT
  echo "stopping the set"
  (cd "$dest" && timeout 60 wine KVLBTessarionWorker.exe -allstop >/dev/null 2>&1 </dev/null) || true
  kvlb_wine_stop
}
trap stop_set INT TERM EXIT

echo "the set is installed in $dest (prefix $WINEPREFIX)"
echo "the Windows set to copy to a Windows machine: $here/build-win/bin"
echo "certificate to trust in the browser: $here/build-win/certs/kvlb_ec_cert.pem"
echo "debug log, while debug mode is on: under $WINEPREFIX/drive_c/users/${USER:-$(id -un)}/Desktop/TessarionLog"
echo "to stop: Ctrl-C here"
cd "$dest"
wine KVLBTessarionMonitor.exe </dev/null &
wait $!
