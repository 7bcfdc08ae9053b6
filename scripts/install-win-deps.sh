#!/usr/bin/env bash
# Installs the Debian packages the Windows build and its tests under Wine need, when any is missing:
# the mingw-w64 cross compilers (posix threads), the 32-bit Wine, Xvfb for a display (x11vnc to show
# it to a VNC viewer; a viewer, xdotool and xwd for the check that types through them), and what
# the cross-builds of the dependencies use (Debian source packages, autotools, m4, GoogleTest's
# source).
set -euo pipefail
pkgs=(g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-tools
      wine wine32:i386 xvfb xauth x11vnc tigervnc-viewer xdotool x11-apps
      dpkg-dev autoconf automake libtool m4 autopoint gettext make pkg-config
      googletest libjsmn-dev gnutls-bin curl cmake ninja-build)
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
# wine32 is an i386 package: the architecture has to be known before the package lists are read.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo_cmd dpkg --add-architecture i386
fi
$sudo_cmd apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
