#!/usr/bin/env bash
# Installs what is missing, builds the programs and runs the service with its monitor on the
# default machine root (KVLB_ROOT, or ~/.kvlbtessarion).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVLB_TESTS=OFF >/dev/null
cmake --build build -j "$(nproc)"
if [ -x build/bin/KVLBTessarionMonitor.exe ]; then
  exec build/bin/KVLBTessarionMonitor.exe
elif [ -x build/bin/KVLBTessarionMain.exe ]; then
  exec build/bin/KVLBTessarionMain.exe 0
else
  echo "built; the service is not part of this build yet"
fi
