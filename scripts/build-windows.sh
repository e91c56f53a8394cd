#!/bin/sh
# Cross build for Windows x86-64: libzip, ISA-L and libsodium from Debian's
# source packages, built static once and cached under build/windows-deps,
# then our project into build/windows (the updater ends up at
# build/windows/tavo_updater.exe).
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
toolchain="$root/cmake/mingw-w64-x86_64.cmake"
deps="$root/build/windows-deps"
prefix="$deps/prefix"
jobs=$(nproc)

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo

# Source lines are derived from the machine's own Debian sources, in a file
# of their own, so that apt-get source finds the libraries on the same
# mirrors.
enable_source_lines() {
  list=/etc/apt/sources.list.d/tavo-deb-src.sources
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    [ -f "$list" ] ||
      sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | $SUDO tee "$list" >/dev/null
  elif [ -f /etc/apt/sources.list ] && grep -q '^deb ' /etc/apt/sources.list; then
    list=/etc/apt/sources.list.d/tavo-deb-src.list
    [ -f "$list" ] || sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | $SUDO tee "$list" >/dev/null
  else
    echo "build-windows: no Debian apt sources to derive source lines from" >&2
    exit 1
  fi
  $SUDO apt-get update -qq
}

# Downloads a Debian source package into $deps/src, trying a few times.
fetch_source() {
  for attempt in 1 2 3; do
    (cd "$deps/src" && apt-get source -qq "$1") && return 0
    echo "build-windows: apt-get source $1 failed (attempt $attempt of 3)" >&2
    sleep 10
  done
  return 1
}

# Sets $src to the unpacked source of Debian package $1, fetched first when
# its file $2 is not there yet.
source_of() {
  mkdir -p "$deps/src"
  if ! ls -d "$deps"/src/"$1"-*/"$2" >/dev/null 2>&1; then
    enable_source_lines
    fetch_source "$1"
  fi
  src=$(ls -d "$deps"/src/"$1"-*/ | head -n 1)
}

build_libzip() {
  source_of libzip CMakeLists.txt
  cmake -S "$src" -B "$deps/libzip-build" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF \
    -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF \
    -DENABLE_GNUTLS=OFF -DENABLE_OPENSSL=OFF -DENABLE_MBEDTLS=OFF \
    -DENABLE_COMMONCRYPTO=OFF -DENABLE_WINDOWS_CRYPTO=OFF \
    -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF \
    -DZLIB_INCLUDE_DIR=/usr/x86_64-w64-mingw32/include \
    -DZLIB_LIBRARY=/usr/x86_64-w64-mingw32/lib/libz.a \
    --no-warn-unused-cli -Wno-dev >"$deps/libzip-configure.log" 2>&1 ||
    { cat "$deps/libzip-configure.log" >&2; exit 1; }
  # Configuring warns that AES is off, as intended; its ANSI file source
  # prints harmless pointer-type warnings: both stay in the logs.
  cmake --build "$deps/libzip-build" -j "$jobs" >"$deps/libzip-build.log" 2>&1 ||
    { cat "$deps/libzip-build.log" >&2; exit 1; }
  cmake --install "$deps/libzip-build" >/dev/null
}

# ISA-L's own makefile builds the static library for mingw with nasm; its
# public headers go where the project includes them from (<isa-l/...>).
build_isal() {
  source_of libisal Makefile.unx
  make -C "$src" -f Makefile.unx arch=mingw AS=nasm -j "$jobs" lib >"$deps/isal-build.log" 2>&1 ||
    { cat "$deps/isal-build.log" >&2; exit 1; }
  mkdir -p "$prefix/lib" "$prefix/include/isa-l"
  cp "$src/bin/isa-l.a" "$prefix/lib/libisal.a"
  cp "$src"/include/*.h "$prefix/include/isa-l/"
}

# libsodium's autotools build, static only; no stack protector, which would
# want mingw's libssp beside the program. Debian's source comes without a
# configure script: autoreconf makes it, as Debian's own build does.
build_sodium() {
  source_of libsodium configure.ac
  [ -x "$src/configure" ] || (cd "$src" && autoreconf -fi) >"$deps/sodium-autoreconf.log" 2>&1 ||
    { cat "$deps/sodium-autoreconf.log" >&2; exit 1; }
  rm -rf "$deps/sodium-build"
  mkdir -p "$deps/sodium-build"
  (cd "$deps/sodium-build" && "$src/configure" --host=x86_64-w64-mingw32 --prefix="$prefix" \
    --disable-shared --enable-static --disable-ssp) >"$deps/sodium-configure.log" 2>&1 ||
    { cat "$deps/sodium-configure.log" >&2; exit 1; }
  make -C "$deps/sodium-build" -j "$jobs" install >"$deps/sodium-build.log" 2>&1 ||
    { cat "$deps/sodium-build.log" >&2; exit 1; }
}

# Fails unless every DLL the program imports is one of Windows' own.
check_imports() {
  x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^.*DLL Name: //p' | while read -r dll; do
    case $(echo "$dll" | tr '[:upper:]' '[:lower:]') in
      kernel32.dll | advapi32.dll | shell32.dll | rstrtmgr.dll | user32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-*) ;;
      *)
        echo "build-windows: $1 needs $dll, which Windows does not ship" >&2
        exit 1
        ;;
    esac
  done
}

if [ ! -f "$prefix/lib/libzip.a" ] || [ ! -f "$prefix/lib/cmake/libzip/libzip-config.cmake" ]; then
  build_libzip
fi

if [ ! -f "$prefix/lib/libisal.a" ] || [ ! -f "$prefix/include/isa-l/igzip_lib.h" ]; then
  build_isal
fi

if [ ! -f "$prefix/lib/libsodium.a" ] || [ ! -f "$prefix/include/sodium.h" ]; then
  build_sodium
fi

cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -Dlibzip_DIR="$prefix/lib/cmake/libzip" -DZLIB_USE_STATIC_LIBS=ON \
  -DTAVO_ISAL_PREFIX="$prefix" -DTAVO_SODIUM_PREFIX="$prefix" >/dev/null
cmake --build build/windows -j "$jobs"
check_imports build/windows/tavo_updater.exe
check_imports build/windows/tavonu.exe
check_imports build/windows/tavo_paket.exe
