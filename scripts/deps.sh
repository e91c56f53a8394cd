#!/bin/sh
# Installs the Debian packages the build, the tests and the demo need, after
# an apt-get update, when any of them is missing.
set -eu
packages="cmake make g++ pkg-config libzip-dev zipcmp zipmerge ziptool zlib1g-dev
  libgtest-dev zip unzip libarchive-tools python3 time
  mingw-w64 g++-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  libz-mingw-w64-dev wine wine64 dpkg-dev clang libclang-rt-14-dev libisal-dev nasm locales"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
