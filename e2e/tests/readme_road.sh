#!/usr/bin/env bash
# The README's worked example for page authors against the Linux build's set: the service with the
# real adapter and the registered stand-in component, in a machine root of its own, checked by
# scripts/check-readme-road.sh (which the Windows stage runs against the Windows set too), then
# stopped with the worker's -allstop, as the README stops a set.
#
#   e2e/tests/readme_road.sh <build folder>
set -uo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?readme_road.sh needs the build folder}" && pwd) || exit 1
# In a network namespace of its own (ctest starts it under unshare where it can) the loopback is down.
ip link set lo up 2>/dev/null

KVLB_ROOT=$(mktemp -d)
export KVLB_ROOT
service=""
cleanup() {
  [ -n "$service" ] && kill "$service" 2>/dev/null && wait "$service" 2>/dev/null
  rm -rf "$KVLB_ROOT"
}
trap cleanup EXIT

"$build/bin/Component/RegisterSigningComponent.exe" >/dev/null || { echo "FAIL: the component did not register"; exit 1; }
"$build/bin/KVLBTessarionMain.exe" 0 >"$KVLB_ROOT/service.out" 2>&1 </dev/null &
service=$!
# The service's first port, once it listens (or the service has ended).
for _ in $(seq 600); do
  (exec 3<>/dev/tcp/127.0.0.1/56462) 2>/dev/null && break
  kill -0 "$service" 2>/dev/null || break
  sleep 0.1
done

bash "$here/scripts/check-readme-road.sh" "$build"
status=$?
# The worker ends the service by instruction, or by termination when it is still there.
"$build/bin/KVLBTessarionWorker.exe" -allstop >/dev/null 2>&1
wait "$service" 2>/dev/null
service=""
exit "$status"
