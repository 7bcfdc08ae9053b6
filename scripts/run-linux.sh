#!/usr/bin/env bash
# The developers' fast way: installs what is missing, builds the Linux programs and runs the service
# with its monitor on the default machine root of the platform's emulation (KVLB_ROOT, or
# ~/.kvlbtessarion), with the stand-in signing component registered there.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVLB_TESTS=OFF >/dev/null
cmake --build build -j "$(nproc)"
build/bin/Component/RegisterSigningComponent.exe
echo "certificates to trust in the browser: $here/build/certs/kvlb_ec_cert.pem (and kvlb_rsa_cert.pem)"
echo "to stop: Ctrl-C here, or $here/build/bin/KVLBTessarionWorker.exe -allstop from another terminal"
if [ -x build/bin/KVLBTessarionMonitor.exe ]; then
  exec build/bin/KVLBTessarionMonitor.exe
else
  exec build/bin/KVLBTessarionMain.exe 0
fi
