#!/usr/bin/env bash
# Benchmark of the Windows set under Wine, measured from this machine: builds the set and the bare
# Win32 libmicrohttpd server, installs the set into a Wine prefix of the benchmark's own, starts the
# monitor (which launches the service) and the bare server side by side, then runs the Linux
# benchmarks' client against both: the echo on an open session and a component call over 8
# kept-alive TLS connections, and the open + force-release time. Not part of the tests or CI.
# The service's ports are fixed: run it in a network namespace of its own,
#
#   unshare -n bash -c 'ip link set lo up; bash bench/win_bench.sh [seconds per round]'
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
seconds=${1:-3}
# A build folder of its own, optimised as the set is shipped, so the test build's settings stay.
build=${KVLB_WIN_BENCH_BUILD:-$here/build-win-bench}
client_build=${KVLB_BENCH_BUILD:-$here/build-bench}
port=56462

deps=$(scripts/build-win-deps.sh | tail -n 1) || exit 1
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKVLB_TESTS=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-i686.cmake" \
  -DKVLB_WIN_DEPS="$deps" >/dev/null || exit 1
cmake --build "$build" -j8 || exit 1
cmake -S . -B "$client_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKVLB_TESTS=OFF >/dev/null || exit 1
cmake --build "$client_build" -j8 --target kvlb_win_bench_client || exit 1

listening() { ss -ltn | grep -q "127.0.0.1:$1 "; }
if listening "$port"; then
  echo "port $port is taken: run this in a network namespace of its own" >&2
  exit 1
fi

# shellcheck source=scripts/wine-env.sh
. "$here/scripts/wine-env.sh"
tmp=$(mktemp -d)
dest="" bare=""
finish() {
  [ -n "$dest" ] && (cd "$dest" && timeout 60 wine KVLBTessarionWorker.exe -allstop >/dev/null 2>&1 </dev/null)
  if [ -n "$bare" ]; then
    kill "$bare" 2>/dev/null
    wait "$bare" 2>/dev/null
  fi
  kvlb_wine_stop
  rm -rf "$tmp"
}
trap finish EXIT

# The prefix's first program starts Wine's background ones, which keep whatever output they get.
kvlb_wine_start "$build/wine-bench" >/dev/null 2>&1 </dev/null || {
  echo "no Wine prefix in $build/wine-bench" >&2
  exit 1
}
wine cmd /c exit 0 >/dev/null 2>&1 </dev/null
kvlb_wine_install_netstat "$build/wine-tools/netstat.exe" >/dev/null 2>&1 </dev/null || exit 1
dest=$(kvlb_wine_install_set "$build") || {
  echo "the set could not be installed into the prefix" >&2
  exit 1
}

# The bare server: a throwaway ECDSA P-256 pair, as the service's own certificate is.
certtool --generate-privkey --key-type ecdsa --curve secp256r1 --outfile "$tmp/key.pem" 2>/dev/null
printf 'cn = "127.0.0.1"\nip_address = "127.0.0.1"\nexpiration_days = 1\ntls_www_server\nsigning_key\n' >"$tmp/cert.cfg"
certtool --generate-self-signed --load-privkey "$tmp/key.pem" --template "$tmp/cert.cfg" \
  --outfile "$tmp/cert.pem" 2>/dev/null
bare_port=56901
wine "$build/bench/win_bare_server.exe" "$bare_port" "Z:$tmp/cert.pem" "Z:$tmp/key.pem" >"$tmp/bare.log" 2>&1 </dev/null &
bare=$!

(cd "$dest" && setsid wine KVLBTessarionMonitor.exe >"$build/wine-bench/monitor.log" 2>&1 </dev/null &)
for _ in $(seq 240); do
  listening "$port" && grep -q listening "$tmp/bare.log" && break
  sleep 0.25
done
if ! listening "$port"; then
  echo "the monitor's service does not listen on $port" >&2
  exit 1
fi
if ! grep -q listening "$tmp/bare.log"; then
  echo "the bare server did not start:" >&2
  cat "$tmp/bare.log" >&2
  exit 1
fi

echo "Windows set under Wine ($(wine --version 2>/dev/null)), bare Win32 libmicrohttpd server beside it:"
"$client_build/bench/kvlb_win_bench_client" "$port" "$bare_port" "$seconds"
