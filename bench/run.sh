#!/usr/bin/env bash
# Builds the service, the adapter and the benchmark in an optimised build tree and runs it: echo
# throughput against a bare libmicrohttpd TLS server with the same settings, the time to open and
# force-release a session, and the service's memory with 32 sessions open.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
build=${KVLB_BENCH_BUILD:-build-bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKVLB_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target kvlb_service_bench
exec "$build/bench/kvlb_service_bench" "$@"
