#!/usr/bin/env bash
# Builds the service, the adapter, the stand-in component and the adapter benchmark in an
# optimised build tree and runs it: a component function through the service on an open session
# against a bare libmicrohttpd TLS server with the same settings, 8 kept-alive connections.
# usage: bench/adapter_bench.sh [seconds per round]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
build=${KVLB_ADAPTER_BENCH_BUILD:-build-adapter-bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKVLB_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target kvlb_adapter_bench
exec "$build/bench/kvlb_adapter_bench" "$@"
