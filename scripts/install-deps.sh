#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the run need, when any is missing.
set -euo pipefail
pkgs=(build-essential cmake ninja-build pkg-config
      libmicrohttpd-dev libgnutls28-dev gnutls-bin libjsmn-dev
      libgtest-dev libgmock-dev libbenchmark-dev
      clang libclang-rt-14-dev
      libcurl4-gnutls-dev curl openssl
      libnss3-tools chromium chromium-driver
      iproute2 procps libpng-dev)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
