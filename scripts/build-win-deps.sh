#!/usr/bin/env bash
# Cross-builds the Windows build's libraries as static i686-w64-mingw32 libraries from Debian's own
# source packages, in the versions the Linux build uses: libmicrohttpd, GnuTLS with nettle, gmp and
# libtasn1, winpthreads (the POSIX threads of mingw-w64's runtime, here built for Windows XP like
# the rest), and GoogleTest for the unit tests under Wine; jsmn's header is copied beside them.
#
# The result lives in a cache outside the source tree, one folder per key (the exact Debian
# versions of the sources and the compiler), and is reused when present.
#
#   scripts/build-win-deps.sh            build when missing; the folder is the last line on stdout
#   scripts/build-win-deps.sh --key      print the key only
#
# KVLB_WIN_DEPS_CACHE names the cache (default /var/cache/kvlb/win-deps, or ~/.cache/kvlb/win-deps
# for a user who cannot write there). Progress goes to stderr.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cache_root=${KVLB_WIN_DEPS_CACHE:-}
if [ -z "$cache_root" ]; then
  # The machine's cache when this user may write there, else the user's own.
  cache_root=/var/cache/kvlb/win-deps
  mkdir -p "$cache_root" 2>/dev/null && [ -w "$cache_root" ] || cache_root=${XDG_CACHE_HOME:-$HOME/.cache}/kvlb/win-deps
fi
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
host=i686-w64-mingw32
jobs=$(nproc)
# Raised whenever the way the libraries are configured changes, so old caches are not reused.
recipe=3

say() { echo "win-deps: $*" >&2; }

# Version of an installed Debian package, or of the source package it was built from.
installed() {
  local status
  status=$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || {
    say "package $1 is missing: run scripts/install-deps.sh and scripts/install-win-deps.sh"
    exit 1
  }
  dpkg-query -W -f="\${$2}" "$1"
}

# The sources follow the -dev packages the Linux build compiles against.
v_mhd=$(installed libmicrohttpd-dev source:Version)
v_gnutls=$(installed libgnutls28-dev source:Version)
v_nettle=$(installed nettle-dev source:Version)
v_gmp=$(installed libgmp-dev source:Version)
v_tasn1=$(installed libtasn1-6-dev source:Version)
v_gtest=$(installed googletest Version)
v_jsmn=$(installed libjsmn-dev Version)
v_gcc=$(installed gcc-mingw-w64-i686-posix Version)
v_crt=$(installed mingw-w64-i686-dev Version)
v_crt_src=$(installed mingw-w64-i686-dev source:Version)

key="mhd-${v_mhd}_gnutls-${v_gnutls}_nettle-${v_nettle}_gmp-${v_gmp}_tasn1-${v_tasn1}"
key+="_gtest-${v_gtest}_jsmn-${v_jsmn}_gcc-${v_gcc}_crt-${v_crt}_r${recipe}"
key=${key//:/_}  # gmp's epoch: no colons in paths (PATH-like lists split at them)

if [ "${1:-}" = "--key" ]; then
  echo "$key"
  exit 0
fi

prefix=$cache_root/$key
if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

mkdir -p "$cache_root"
# One build per key at a time; a second caller waits and then finds the result.
exec 9>"$cache_root/.lock"
flock 9
if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi
say "building into $prefix"
started=$(date +%s)
work=$(mktemp -d "$cache_root/.work.XXXXXX")
stage=$work/stage
# KVLB_WIN_DEPS_KEEP=1 keeps the sources, logs and stage of a build for a look after it.
trap '[ -n "${KVLB_WIN_DEPS_KEEP:-}" ] && say "kept $work" || rm -rf "$work"' EXIT
mkdir -p "$stage" "$work/src" "$work/logs"

# ---- Debian's sources ------------------------------------------------------------------------

# A deb-src entry for every bookworm entry of the machine's own sources (same mirror, suites and
# keys), so apt-get source finds exactly the versions installed.
add_deb_src() {
  local list=/etc/apt/sources.list.d/kvlb-deb-src.sources
  [ -f "$list" ] && return 0
  if grep -rqsE '^(Types:.*deb-src|deb-src[[:space:]].*bookworm)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    return 0
  fi
  local entries=""
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    entries+=$(awk 'BEGIN { RS = ""; FS = "\n" }
      {
        types = ""
        for (i = 1; i <= NF; i++) if ($i ~ /^Types:/) types = $i
        if (types !~ /[ \t]deb([ \t]|$)/ || $0 !~ /(^|\n)Suites:[^\n]*bookworm/) next
        for (i = 1; i <= NF; i++) {
          if ($i ~ /^#/) continue
          print ($i ~ /^Types:/ ? "Types: deb-src" : $i)
        }
        print ""
      }' "$f")$'\n\n'
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    while read -r line; do
      entries+="Types: deb-src"$'\n'
      # shellcheck disable=SC2086  # the line's words are the fields
      set -- $line
      shift
      [[ "$1" == \[* ]] && shift  # options such as [signed-by=...] are left to apt's defaults
      entries+="URIs: $1"$'\n'"Suites: $2"$'\n'"Components: ${*:3}"$'\n\n'
    done < <(grep -E '^deb[[:space:]].*bookworm' "$f" || true)
  done
  if [ -z "${entries//[[:space:]]/}" ]; then
    entries=$'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm bookworm-updates\nComponents: main\n'
    entries+=$'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n\n'
    entries+=$'Types: deb-src\nURIs: http://deb.debian.org/debian-security\nSuites: bookworm-security\n'
    entries+=$'Components: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n'
  fi
  say "adding $list"
  printf '# Source packages for scripts/build-win-deps.sh.\n%s' "$entries" | $sudo_cmd tee "$list" >/dev/null
  $sudo_cmd apt-get update -qq
}

fetch() {
  (cd "$work/src" && apt-get source -qq "libmicrohttpd=$v_mhd" "gnutls28=$v_gnutls" "nettle=$v_nettle" \
     "gmp=$v_gmp" "libtasn1-6=$v_tasn1" "mingw-w64=$v_crt_src") >"$work/logs/fetch.log" 2>&1
}
add_deb_src
if ! fetch; then
  # The lists may predate a new upload in bookworm-security or bookworm-updates.
  $sudo_cmd apt-get update -qq || true
  fetch || { cat "$work/logs/fetch.log" >&2; exit 1; }
fi
src() { find "$work/src" -mindepth 1 -maxdepth 1 -type d -name "$1-*" | head -1; }

# ---- the cross-builds ------------------------------------------------------------------------

export CC=$host-gcc-posix CXX=$host-g++-posix AR=$host-ar RANLIB=$host-ranlib STRIP=$host-strip
export CFLAGS="-O2" CXXFLAGS="-O2"
# The programs run on Windows XP SP3 and later: the libraries are built for XP's API level, so
# that their configure scripts choose what XP has (CryptGenRandom, GetTickCount, select, their own
# inet_ntop and inet_pton) and mingw-w64's headers declare nothing newer.
winver="-D_WIN32_WINNT=0x0501 -DWINVER=0x0501"
export CPPFLAGS="$winver -I$stage/include" LDFLAGS="-L$stage/lib"
# Only the cross .pc files of the stage, never the machine's own.
export PKG_CONFIG=pkg-config PKG_CONFIG_LIBDIR=$stage/lib/pkgconfig PKG_CONFIG_PATH=
build=$(gcc -dumpmachine)
gnutls_deps="-lhogweed -lnettle -lgmp -ltasn1 -lcrypt32 -ladvapi32 -lws2_32"
common=(--build="$build" --host="$host" --prefix="$stage" --enable-static --disable-shared)

# Runs one step with its output in a log of its own; the log's tail tells what went wrong.
step() {
  local name=$1
  shift
  say "$name"
  # Started apart and waited for, so that set -e holds inside the step (it would not in the
  # condition of an if).
  "$@" >"$work/logs/$name.log" 2>&1 &
  if ! wait $!; then
    say "$name failed; the end of its log:"
    tail -40 "$work/logs/$name.log" >&2
    return 1
  fi
}

build_gmp() {
  cd "$(src gmp)"
  # Debian's source has no doc/ (its texinfo manual is non-free); Debian drops it from
  # configure.ac and Makefile.am, the generated files are mended the same way here.
  sed -i 's| doc/Makefile||; /"doc\/Makefile") CONFIG_FILES/d' configure
  sed -i 's|^\(SUBDIRS = .*\) doc$|\1|' Makefile.in
  ./configure "${common[@]}" --disable-cxx
  make -j"$jobs"
  make install
}

build_nettle() {
  cd "$(src nettle)"
  ./configure "${common[@]}" --disable-documentation --disable-openssl \
    --with-include-path="$stage/include" --with-lib-path="$stage/lib"
  # The libraries only: the tools, examples and test suite are not needed on this side.
  make -j"$jobs" SUBDIRS=
  make install SUBDIRS=
}

build_tasn1() {
  cd "$(src libtasn1-6)"
  ./configure "${common[@]}" --disable-doc --disable-valgrind-tests --disable-gcc-warnings
  make -j"$jobs" -C lib
  make -C lib install
}

# Debian's patches change GnuTLS's configure.ac and Makefile.am files (an added gnulib module
# among them), so it is bootstrapped again as Debian's own build does.
prepare_gnutls() {
  cd "$(src gnutls28)"
  grep -rlZ gettext-0.20 m4/ | xargs -0 -r rm -f
  GTKDOCIZE="echo" autoreconf -fi
}

build_gnutls() {
  cd "$(src gnutls28)"
  # A static GnuTLS: its headers must not declare the symbols as imported from a DLL.
  # Its Windows system keys (keys-win.c, always built on Windows) load ncrypt.dll at run time
  # (--enable-dyn-ncrypt), so the library imports nothing from it; where ncrypt.dll is missing
  # (XP) gnutls_global_init goes on without system keys, which the service does not use.
  CPPFLAGS="$CPPFLAGS -DGNUTLS_INTERNAL_BUILD" ./configure "${common[@]}" \
    --without-p11-kit --with-included-unistring --without-idn --disable-tools --disable-tests \
    --disable-doc --disable-manpages --disable-gtk-doc --disable-guile --disable-cxx --disable-nls \
    --disable-libdane --without-tpm --without-tpm2 --without-zlib --without-brotli --without-zstd \
    --disable-openssl-compatibility --disable-valgrind-tests --disable-full-test-suite \
    --enable-dyn-ncrypt
  make -j"$jobs"
  make install
}

build_mhd() {
  cd "$(src libmicrohttpd)"
  # Its GnuTLS link test needs what the static GnuTLS needs. select() instead of WSAPoll (Vista):
  # on Windows libmicrohttpd sets FD_SETSIZE to 2048 for itself (mhd_options.h), far above the
  # connections a daemon of the service holds.
  CPPFLAGS="$CPPFLAGS -DGNUTLS_INTERNAL_BUILD" LIBS="$gnutls_deps" ./configure "${common[@]}" \
    --enable-https --with-gnutls="$stage" --disable-doc --disable-examples --disable-curl \
    --disable-nls --enable-messages --disable-poll
  make -j"$jobs"
  make install
}

# The compiler's libwinpthread.a is built for Vista and later (GetTickCount64 in its timed waits);
# the same source built for XP uses the performance counter there. The programs link this one: the
# toolchain file puts the folder's lib/ ahead of the compiler's own, where the driver's -lpthread
# finds it under its other name.
build_winpthreads() {
  cd "$(src mingw-w64)/mingw-w64-libraries/winpthreads"
  ./configure "${common[@]}"
  make -j"$jobs"
  make install
  cp "$stage/lib/libwinpthread.a" "$stage/lib/libpthread.a"
}

build_gtest() {
  # Win32 threading inside GoogleTest: with pthreads found, the library would be built with
  # GTEST_HAS_PTHREAD=1 while the tests compiled against it see 0, and gtest's types differ.
  cmake -S /usr/src/googletest -B "$work/gtest-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$here/../cmake/mingw-w64-i686.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$stage" -Dgtest_disable_pthreads=ON -DBUILD_GMOCK=ON -DBUILD_SHARED_LIBS=OFF
  cmake --build "$work/gtest-build" -j "$jobs"
  cmake --install "$work/gtest-build"
}

# gmp -> nettle and libtasn1 and GnuTLS's bootstrap and GoogleTest and winpthreads side by side;
# then GnuTLS,
# then libmicrohttpd.
pids=()
(step gmp build_gmp && step nettle build_nettle) & pids+=($!)
step libtasn1 build_tasn1 & pids+=($!)
step gnutls-autoreconf prepare_gnutls & pids+=($!)
step googletest build_gtest & pids+=($!)
step winpthreads build_winpthreads & pids+=($!)
failed=0
for p in "${pids[@]}"; do wait "$p" || failed=1; done
[ "$failed" -eq 0 ]
step gnutls build_gnutls
step libmicrohttpd build_mhd
install -m 644 /usr/include/jsmn.h "$stage/include/jsmn.h"

# Only what a consumer links against is kept.
rm -rf "${stage:?}/share" "${stage:?}/bin"
find "$stage/lib" -name '*.la' -delete
cat >"$stage/VERSIONS" <<EOF
libmicrohttpd $v_mhd
gnutls28 $v_gnutls
nettle $v_nettle
gmp $v_gmp
libtasn1-6 $v_tasn1
googletest $v_gtest
libjsmn-dev $v_jsmn
gcc-mingw-w64-i686-posix $v_gcc
mingw-w64-i686-dev $v_crt
EOF
touch "$stage/.complete"
# The stage was installed under its own path: the .pc and CMake files name it. Point them at
# the cache folder before moving it there.
# (Text files only: the archives hold the path in debug strings, and an edit would break them.)
find "$stage" \( -name '*.pc' -o -name '*.cmake' \) -exec sed -i "s|$stage|$prefix|g" {} +
rm -rf "$prefix"
mv "$stage" "$prefix"
say "done in $(($(date +%s) - started)) s"
echo "$prefix"
