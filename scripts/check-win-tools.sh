#!/usr/bin/env bash
# Builds the Windows build's two tools against the cached cross-built libraries and proves them
# under Wine, in a prefix of their own: the bare libmicrohttpd HTTPS server answers this machine's
# curl over TLS 1.2 and 1.3 (and refuses TLS 1.1), and our netstat.exe, run through Wine's cmd and
# find the way the service runs its port check, lists that server's listener.
#
#   scripts/check-win-tools.sh [build folder]      (default: build-win-tools)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(mkdir -p "${1:-$here/build-win-tools}" && cd "${1:-$here/build-win-tools}" && pwd)

t0=$(date +%s.%N)
deps=$("$here/scripts/build-win-deps.sh" | tail -n 1)
t1=$(date +%s.%N)
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKVLB_WERROR=ON -DKVLB_TESTS=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-i686.cmake" -DKVLB_WIN_DEPS="$deps" >/dev/null
cmake --build "$build" -j "$(nproc)" --target kvlb_wine_netstat win_bare_server

# shellcheck source=scripts/wine-env.sh
. "$here/scripts/wine-env.sh"
tmp=$(mktemp -d)
server=""
finish() {
  [ -n "$server" ] && kill "$server" 2>/dev/null
  kvlb_wine_stop
  rm -rf "$tmp"
}
trap finish EXIT
fresh=reused
[ -f "$build/wine/prefix/system.reg" ] || fresh=fresh
t2=$(date +%s.%N)
kvlb_wine_start "$build/wine"
t3=$(date +%s.%N)
kvlb_wine_install_netstat "$build/wine-tools/netstat.exe"

# A throwaway certificate for 127.0.0.1.
certtool --generate-privkey --key-type ecdsa --curve secp256r1 --outfile "$tmp/key.pem" 2>/dev/null
printf 'cn = "127.0.0.1"\nip_address = "127.0.0.1"\nexpiration_days = 1\ntls_www_server\nsigning_key\n' >"$tmp/cert.cfg"
certtool --generate-self-signed --load-privkey "$tmp/key.pem" --template "$tmp/cert.cfg" \
  --outfile "$tmp/cert.pem" 2>/dev/null

# A free port: the first of a few random ones the server can bind.
port=""
for _ in 1 2 3 4 5; do
  candidate=$((20000 + RANDOM % 30000))
  wine "$build/bench/win_bare_server.exe" "$candidate" "Z:$tmp/cert.pem" "Z:$tmp/key.pem" >"$tmp/server.log" 2>&1 &
  server=$!
  for _wait in $(seq 100); do
    grep -q "listening" "$tmp/server.log" && break
    kill -0 "$server" 2>/dev/null || break
    sleep 0.1
  done
  if grep -q "listening" "$tmp/server.log"; then
    port=$candidate
    break
  fi
  kill "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
  server=""
done
[ -n "$port" ] || { echo "FAIL: the bare server did not start under Wine" >&2; cat "$tmp/server.log" >&2; exit 1; }

expected='{"result": "MTAwMA=="}'
for version in 1.2 1.3; do
  answer=$(curl -sS --cacert "$tmp/cert.pem" --tlsv$version --tls-max $version --max-time 10 \
    -H "Origin: https://app.example.test" --data 'Parameter=eyJmdW5jdGlvbiI6ImVjaG8ifQ%3D%3D' \
    "https://127.0.0.1:$port/")
  [ "$answer" = "$expected" ] || { echo "FAIL: TLS $version answer: $answer" >&2; exit 1; }
  echo "ok: TLS $version POST answered under Wine: $answer"
done
if curl -sS -k --tls-max 1.1 --max-time 10 --data 'x=1' "https://127.0.0.1:$port/" >/dev/null 2>&1; then
  echo "FAIL: TLS 1.1 was accepted" >&2
  exit 1
fi
echo "ok: TLS 1.1 refused"

# The service's port check, as a batch file so that Wine hands cmd the quotes untouched.
printf 'netstat -n -a | find "127.0.0.1" > C:\\kvlb-scan.txt\r\n' >"$WINEPREFIX/drive_c/kvlb-scan.bat"
wine cmd /c 'C:\kvlb-scan.bat' >/dev/null
if ! tr -d '\r' <"$WINEPREFIX/drive_c/kvlb-scan.txt" | tr -s ' ' | grep -qx " TCP 127.0.0.1:$port 0.0.0.0:0 LISTENING"; then
  echo "FAIL: netstat under Wine does not list 127.0.0.1:$port" >&2
  cat "$WINEPREFIX/drive_c/kvlb-scan.txt" >&2
  exit 1
fi
echo "ok: netstat -n -a | find \"127.0.0.1\" lists: $(grep ":$port " "$WINEPREFIX/drive_c/kvlb-scan.txt" | tr -d '\r')"

awk -v a="$t0" -v b="$t1" -v c="$t2" -v d="$t3" -v f="$fresh" \
  'BEGIN { printf "dependencies %.1f s, %s Wine prefix %.1f s\n", b - a, f, d - c }'
