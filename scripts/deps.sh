#!/bin/sh
# Installs the Debian packages that the build, the demo, the tests (native,
# sanitizers, fuzzing, Windows under Wine, the format check) and the
# benchmark need, after an apt-get update, when any of them is missing.
# Downloads are tried a few times, so that a dropped connection to the
# mirror does not fail a new machine's first run.
set -eu
packages="cmake make g++ pkg-config libzip-dev zipcmp zipmerge ziptool zlib1g-dev
  libgtest-dev zip unzip libarchive-tools python3 time clang-format
  mingw-w64 g++-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  libz-mingw-w64-dev wine wine64 dpkg-dev clang libclang-rt-14-dev libisal-dev nasm locales
  fuse3 libfuse3-dev libsodium-dev minisign autoconf automake libtool eatmydata strace"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
# apt's progress goes to a log, shown only when the install fails.
log=$(mktemp)
attempt=1
until $SUDO apt-get update -qq >"$log" 2>&1 &&
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq -o Acquire::Retries=3 \
    --no-install-recommends $missing >>"$log" 2>&1; do
  tail -n 30 "$log" >&2
  [ $attempt -lt 3 ] || exit 1
  echo "deps: apt-get failed (attempt $attempt of 3); trying again in 10 s" >&2
  attempt=$((attempt + 1))
  sleep 10
done
rm -f "$log"
echo "installed $(echo $missing | wc -w) packages"
